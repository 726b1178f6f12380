// Placeholder until the codec lands: delegates to Python's json module.
#include "bridge/json_codec.h"
namespace py = pybind11;
namespace mosswork::bridge::json {
py::str dumps(py::handle value, bool ensure_ascii) {
  return py::module_::import("json").attr("dumps")(value, py::arg("ensure_ascii") = ensure_ascii);
}
std::string dumps_utf8(py::handle value, bool ensure_ascii) {
  return dumps(value, ensure_ascii).attr("encode")("utf-8").cast<std::string>();
}
py::object loads(py::handle text) { return py::module_::import("json").attr("loads")(text); }
}  // namespace mosswork::bridge::json
