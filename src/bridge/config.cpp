// Reading configuration values from the Python `config` map.
#include "bridge/config.h"

namespace py = pybind11;

namespace mosswork::bridge {

bool is_on(py::handle value) {
  int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

py::object config_value(py::handle config, const char* key, py::handle fallback) {
  if (config.is_none()) {
    // A missing section fails the way a lookup on None fails in the service.
    throw py::type_error("'NoneType' object has no attribute 'get'");
  }
  return config.attr("get")(key, fallback);
}

bool tls_flag(py::handle value) {
  if (PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), "False") == 0) {
    return false;
  }
  return is_on(value);
}

}  // namespace mosswork::bridge
