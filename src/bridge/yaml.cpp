// YAML documents as Python values (see yaml.h).
#include "bridge/yaml.h"

#include <string>

#include "bridge/errors.h"

namespace py = pybind11;
using mosswork::core::plugins::YamlValue;

namespace mosswork::bridge::yaml {

py::object to_python(const YamlValue& v) {
  using K = YamlValue::Kind;
  switch (v.kind) {
    case K::kNull:
      return py::none();
    case K::kBool:
      return py::bool_(v.boolean);
    case K::kInt: {
      PyObject* n = PyLong_FromString(v.digits.c_str(), nullptr, v.base);
      if (!n) throw py::error_already_set();
      py::object number = py::reinterpret_steal<py::object>(n);
      if (v.negative) {
        PyObject* negated = PyNumber_Negative(number.ptr());
        if (!negated) throw py::error_already_set();
        number = py::reinterpret_steal<py::object>(negated);
      }
      return number;
    }
    case K::kFloat:
      return py::float_(v.number);
    case K::kText:
      return py::str(v.text);
    case K::kTimestamp: {
      const auto& t = v.timestamp;
      py::module_ datetime = py::module_::import("datetime");
      if (!t.has_time) return datetime.attr("date")(t.year, t.month, t.day);
      py::object tz = py::none();
      if (t.has_offset) {
        tz = datetime.attr("timezone")(
            datetime.attr("timedelta")(py::arg("minutes") = t.offset_minutes));
      }
      return datetime.attr("datetime")(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                       t.microsecond, tz);
    }
    case K::kList: {
      py::list out;
      for (const auto& item : v.items) out.append(to_python(item));
      return out;
    }
    case K::kMap: {
      py::dict out;
      for (const auto& [key, value] : v.entries) out[to_python(key)] = to_python(value);
      return out;
    }
  }
  return py::none();
}

py::object safe_load(std::string_view text) {
  YamlValue parsed;
  released(Domain::kGeneric, [&] { parsed = core::plugins::parse_yaml(text); });
  return to_python(parsed);
}

}  // namespace mosswork::bridge::yaml
