"""Python signatures of the compiled modules name Python types, never C++ ones."""

from __future__ import annotations

import inspect
import re

import pytest

from mosswork_utils import connections, datastore

# A pybind11 signature line: "name(...) -> ...", numbered in overloaded functions.
SIGNATURE = re.compile(r"^\s*(?:\d+\. )?\w+\(.*\)(?: -> .+)?$")


def documented(module):
    """(qualified name, __doc__) of every public function and class member of module."""
    for name, obj in vars(module).items():
        if name.startswith("_"):
            continue
        if inspect.isclass(obj) and obj.__module__ == module.__name__:
            for member, value in vars(obj).items():
                for part in (value, getattr(value, "fget", None)):
                    doc = getattr(part, "__doc__", None)
                    if callable(part) and isinstance(doc, str):
                        yield f"{name}.{member}", doc
        elif callable(obj) and isinstance(getattr(obj, "__doc__", None), str):
            yield name, obj.__doc__


@pytest.mark.parametrize("module", [connections, datastore], ids=lambda m: m.__name__)
def test_no_cpp_type_name_in_a_signature(module):
    lines = [(where, line) for where, doc in documented(module)
             for line in doc.splitlines() if SIGNATURE.match(line)]
    assert len(lines) > 20  # the walk reached the bound functions
    assert [(where, line) for where, line in lines if "::" in line] == []
