// Python texts from the core's UTF-8 and file-system paths from Python arguments.
#include "bridge/text.h"

namespace py = pybind11;

namespace mosswork::bridge {

py::str decode_utf8(std::string_view bytes, const char* errors) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors);
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::str decode_latin1(std::string_view bytes) {
  PyObject* text =
      PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

std::string fs_path(py::handle path) {
  py::object encoded = py::module_::import("os").attr("fsencode")(path);
  std::string out = py::bytes(encoded).cast<std::string>();
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    throw py::error_already_set();
  }
  return out;
}

}  // namespace mosswork::bridge
