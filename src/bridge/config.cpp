// Reading configuration values from the Python `config` map, and finding the configuration
// package the values come from.
#include "bridge/config.h"

#include <string>

#include "bridge/logger.h"

namespace py = pybind11;

namespace mosswork::bridge {
namespace {

constexpr const char* kConfigsName = "configs";
constexpr const char* kShippedConfigs = "mosswork_utils.configs";

// Whether e is the failure to find the module `configs` itself (not one raised inside it).
bool configs_not_found(py::error_already_set& e) {
  if (!e.matches(PyExc_ModuleNotFoundError)) return false;
  py::object name = py::getattr(e.value(), "name", py::none());
  return !name.is_none() && py::str(name).cast<std::string>() == kConfigsName;
}

}  // namespace

py::module_ configs_package() {
  try {
    return py::module_::import(kConfigsName);
  } catch (py::error_already_set& e) {
    if (!configs_not_found(e)) throw;
  }
  py::module_ shipped;
  try {
    shipped = py::module_::import(kShippedConfigs);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    PyErr_SetString(PyExc_ModuleNotFoundError,
                    "no configuration package: the service's 'configs' cannot be imported and "
                    "this installation ships none (mosswork_utils/configs)");
    throw py::error_already_set();
  }
  // Registered under the service's name, so that the next lookup finds it at once: the
  // warning is given once per process, whichever module asks first.
  py::module_::import("sys").attr("modules")[kConfigsName] = shipped;
  log_object(core::LogLevel::kWarning,
             py::str("no 'configs' package on the path; using the configuration package shipped "
                     "in {}")
                 .format(py::getattr(shipped, "__file__", py::str(kShippedConfigs))));
  return shipped;
}

py::object service_section() {
  py::module_ configs = configs_package();
  py::object section = configs.attr("get_configs")("service")[py::str("service")];
  if (!section.is_none() && py::hasattr(section, "get")) return section;
  std::string where;
  if (py::hasattr(configs, "config_path")) {
    where = " in " + py::str(configs.attr("config_path")()).cast<std::string>();
  } else if (py::hasattr(configs, "__file__")) {
    where = " of " + py::str(configs.attr("__file__")).cast<std::string>();
  }
  std::string problem =
      section.is_none()
          ? "the configuration has no \"service\" section" + where
          : "the \"service\" section of the configuration" + where + " is not a mapping but " +
                py::str(py::type::handle_of(section).attr("__name__")).cast<std::string>();
  // Set as a Python error: a C++ exception thrown during a module's init would become an
  // ImportError.
  PyErr_SetString(PyExc_ValueError, problem.c_str());
  throw py::error_already_set();
}

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
