// Turns core errors into Python exceptions: the one place where that mapping lives.
#include "bridge/errors.h"

#include <cstring>

#include "core/common/errors.h"

namespace py = pybind11;

namespace mosswork::bridge {
namespace {

void set_from_class(py::handle cls, py::object instance_or_args) {
  PyErr_SetObject(cls.ptr(), instance_or_args.ptr());
}

void set_text(PyObject* cls, const char* text) {
  // Core texts are UTF-8; a stray byte must not hide the error itself.
  py::object message = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!message) return;  // the decoding error stays set
  PyErr_SetObject(cls, message.ptr());
}

}  // namespace

py::object application_error_class() {
  return py::module_::import("mosswork_utils.exceptions").attr("ApplicationError");
}

void set_python_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const core::ApplicationFailure& e) {
    try {
      set_text(application_error_class().ptr(), e.what());
    } catch (py::error_already_set& lookup) {
      lookup.restore();
    }
  } catch (const core::IoError& e) {
    // OSError(errno, text, filename) picks FileNotFoundError, PermissionError and so on; the
    // text keeps what was being done next to the system's reason.
    py::object args;
    if (e.path().empty()) {
      args = py::make_tuple(e.error_number(), e.what());
    } else {
      args = py::make_tuple(e.error_number(), e.context(), e.path());
    }
    set_from_class(PyExc_OSError, args);
  } catch (const core::Timeout& e) {
    set_text(PyExc_TimeoutError, e.what());
  } catch (const core::ConnectionClosed& e) {
    set_text(PyExc_ConnectionError, e.what());
  } catch (const core::InvalidArgument& e) {
    set_text(PyExc_ValueError, e.what());
  } catch (const core::TypeMismatch& e) {
    set_text(PyExc_TypeError, e.what());
  } catch (const core::ParseError& e) {
    set_text(PyExc_ValueError, e.what());
  } catch (const core::Error& e) {
    set_text(PyExc_RuntimeError, e.what());
  }
}

void install_error_translator() {
  py::register_local_exception_translator([](std::exception_ptr p) {
    if (!p) return;
    try {
      std::rethrow_exception(p);
    } catch (const core::Error&) {
      set_python_error(p);
    }
    // Anything else falls through to pybind11's own translators.
  });
}

}  // namespace mosswork::bridge
