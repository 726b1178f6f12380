// The plugins module: the enabled plugin chains of the configuration package, published into
// the Redis hash "plugins_chains" when the module is first imported.
#include <pybind11/pybind11.h>

#include <string>

#include "bridge/config.h"
#include "bridge/errors.h"
#include "bridge/yaml.h"
#include "core/build/description.h"

namespace py = pybind11;

namespace {

constexpr const char* kDataFile = "plugins/plugins_chains.yaml";
constexpr const char* kHashName = "plugins_chains";
constexpr const char* kLockName = "plugins_chains_updating";

// The data file of the configuration package, read as UTF-8 text and parsed.
py::object load_data_file() {
  py::object resource = py::module_::import("importlib.resources")
                            .attr("files")(mosswork::bridge::configs_package())
                            .attr("joinpath")(kDataFile);
  std::string text = resource.attr("read_text")(py::arg("encoding") = "utf-8").cast<std::string>();
  return mosswork::bridge::yaml::safe_load(text);
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
  py::object lock =
      datastore.attr("redis_lock")(kLockName, py::arg("timeout") = 5, py::arg("blocking") = false);
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
  m.def(
      "redis_update_plugins_chains", [m]() { redis_update_plugins_chains(m); },
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
