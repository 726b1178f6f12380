// Included first in every source of the bridge library (by the build, not by #include): the
// bridge's own declarations are its interface to the modules, so they are all exported.
//
// pybind11 declares its namespace hidden, and GCC gives a function or class whose type involves a
// hidden type (a pybind11::handle parameter, a pybind11::object member) hidden visibility too,
// unless visibility is given explicitly. This pragma gives it; pybind11's own code keeps its
// explicit hidden attribute, so none of it is exported and each module keeps its own copy.
#pragma once
#pragma GCC visibility push(default)
