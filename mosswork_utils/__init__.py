"""mosswork-utils: native helper modules of the mosswork knowledge-base back end.

The modules (``notices``, ``buildhelper`` and the others) are C++ extension modules; import them
by name, for example ``from mosswork_utils import notices``.
"""

from __future__ import annotations

import importlib.machinery
import sys


def __getattr__(name: str):
    if name == "__version__":
        from mosswork_utils import buildhelper

        return buildhelper.__version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# pybind11 reports any failure of a module's initialisation as ImportError("initialization
# failed") caused by the real error. The modules' loader raises the real error instead, so that
# a missing configuration file is a FileNotFoundError naming it, wherever the import came from
# (the modules import each other, so one failure would otherwise be wrapped once per level).
_PYBIND11_INIT_FAILED = "initialization failed"


def _init_error(error: ImportError) -> BaseException | None:
    """The real error behind pybind11's wrapper, or None when error is no such wrapper."""
    if str(error) == _PYBIND11_INIT_FAILED and error.__cause__ is not None:
        return error.__cause__
    return None


class _ExtensionLoader(importlib.machinery.ExtensionFileLoader):
    # The real error is raised outside the handler, so that it keeps its own context.
    def create_module(self, found):
        try:
            return super().create_module(found)
        except ImportError as e:
            real = _init_error(e)
            if real is None:
                raise
        raise real

    def exec_module(self, module):
        try:
            return super().exec_module(module)
        except ImportError as e:
            real = _init_error(e)
            if real is None:
                raise
        raise real


class _ExtensionFinder:
    """Finds this package's extension modules as usual and loads them with _ExtensionLoader."""

    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if not fullname.startswith(__name__ + ".") or path is None:
            return None
        found = importlib.machinery.PathFinder.find_spec(fullname, path, target)
        if found is not None and type(found.loader) is importlib.machinery.ExtensionFileLoader:
            found.loader = _ExtensionLoader(found.loader.name, found.loader.path)
        return found


# By name, so that a reloaded package does not add a second one.
if not any(getattr(f, "__name__", "") == "_ExtensionFinder" for f in sys.meta_path):
    sys.meta_path.insert(0, _ExtensionFinder)
