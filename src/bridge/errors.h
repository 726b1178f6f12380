// Turns core errors into Python exceptions: the one place where that mapping lives.
#pragma once

#include <pybind11/pybind11.h>

namespace mosswork::bridge {

// Registers the translator for the calling module only (module-local).
void install_error_translator();

// Sets the Python error for the exception in flight; call from inside a catch block.
void set_python_error(std::exception_ptr error);

// The Python class a module raises for a service failure: mosswork_utils.exceptions.ApplicationError.
pybind11::object application_error_class();

}  // namespace mosswork::bridge
