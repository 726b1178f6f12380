// The plugins module: the enabled plugin chains of the configuration package, published into
// the Redis hash "plugins_chains" when the module is first imported.
#include <pybind11/pybind11.h>

#include <string>

#include "bridge/errors.h"
#include "core/build/description.h"
#include "core/plugins/yaml_value.h"

namespace py = pybind11;
using mosswork::core::plugins::YamlValue;

namespace {

constexpr const char* kDataFile = "plugins/plugins_chains.yaml";
constexpr const char* kHashName = "plugins_chains";
constexpr const char* kLockName = "plugins_chains_updating";

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

// The data file of the configuration package, read as UTF-8 text and parsed.
py::object load_data_file() {
  py::object resource =
      py::module_::import("importlib.resources").attr("files")("configs").attr("joinpath")(kDataFile);
  std::string text = resource.attr("read_text")(py::arg("encoding") = "utf-8").cast<std::string>();
  mosswork::core::plugins::YamlValue parsed;
  mosswork::bridge::released(mosswork::bridge::Domain::kGeneric,
                             [&] { parsed = mosswork::core::plugins::parse_yaml(text); });
  return to_python(parsed);
}

// The enabled entries, each rebuilt with exactly the published keys; the texts trimmed.
py::list enabled_entries(const py::object& file) {
  py::list out;
  for (py::handle entry : file[py::str("plugins")]) {
    py::object enabled = entry[py::str("enabled")];
    if (!PyObject_IsTrue(enabled.ptr())) continue;
    py::dict kept;
    kept["type"] = entry[py::str("type")].attr("strip")();
    kept["typeNum"] = entry[py::str("typeNum")];
    kept["moduleName"] = entry[py::str("moduleName")].attr("strip")();
    kept["name"] = entry[py::str("name")].attr("strip")();
    kept["description"] = entry[py::str("description")].attr("strip")();
    out.append(std::move(kept));
  }
  return out;
}

// Brings the hash into line with the module's list. Only the process holding the short lock
// writes; the others return at once. A Redis error leaves the lock to lapse on its own.
void redis_update_plugins_chains(py::module_ m) {
  py::module_ datastore = py::module_::import("mosswork_utils.datastore");
  py::str hname(kHashName);
  py::dict plugins_new;
  for (py::handle entry : m.attr("plugins_chains_config")) {
    plugins_new[py::str(entry[py::str("typeNum")])] = entry;
  }
  py::object lock = datastore.attr("redis_lock")(kLockName, py::arg("timeout") = 5,
                                                 py::arg("blocking") = false);
  if (!PyObject_IsTrue(lock.attr("acquire")(py::arg("blocking") = false).ptr())) return;
  py::object plugins_old = py::dict();
  if (PyObject_IsTrue(datastore.attr("redis_key_exists")(hname).ptr())) {
    plugins_old = datastore.attr("getall_redis_data")(hname);
  }
  for (py::handle k : plugins_old) {
    if (!plugins_new.contains(k)) {
      datastore.attr("hdel_redis_data")(hname, k);
    } else {
      datastore.attr("hset_redis_data")(hname, k, plugins_new[k]);
    }
  }
  for (auto item : plugins_new) {
    py::handle k = item.first;
    if (!plugins_old.contains(k)) datastore.attr("hset_redis_data")(hname, k, plugins_new[k]);
  }
  lock.attr("release")();
}

}  // namespace

PYBIND11_MODULE(plugins, m) {
  m.doc() = "Enabled plugin chains, published into the Redis hash \"plugins_chains\".";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  mosswork::bridge::install_error_translator();
  py::module_ connections = py::module_::import("mosswork_utils.connections");
  m.attr("r") = connections.attr("r");
  m.attr("plugins_hname") = kHashName;
  m.def("redis_update_plugins_chains", [m]() { redis_update_plugins_chains(m); },
        "Syncs the hash \"plugins_chains\" with plugins_chains_config under a non-blocking lock.");

  py::object file = load_data_file();
  m.attr("plugins_chains_config_f") = file;
  py::list config = enabled_entries(file);
  m.attr("plugins_chains_config") = config;
  py::print("plugins_chains info:", py::str(config), py::arg("flush") = true);
  try {
    redis_update_plugins_chains(m);
  } catch (const py::error_already_set& e) {
    // A failed sync must not keep the service from starting; the next process retries.
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
}
