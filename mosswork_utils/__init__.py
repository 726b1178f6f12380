"""mosswork-utils: native helper modules of the mosswork knowledge-base back end.

The modules (``notices``, ``buildhelper`` and the others) are C++ extension modules; import them
by name, for example ``from mosswork_utils import notices``.
"""

from __future__ import annotations


def __getattr__(name: str):
    if name == "__version__":
        from mosswork_utils import buildhelper

        return buildhelper.__version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
