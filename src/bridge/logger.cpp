// Forwards log texts to the service logger, mosswork_utils.logger.logger.
#include "bridge/logger.h"

#include "bridge/text.h"

namespace py = pybind11;

namespace mosswork::bridge {
namespace {

const char* method_name(core::LogLevel level) {
  switch (level) {
    case core::LogLevel::kDebug:
      return "debug";
    case core::LogLevel::kInfo:
      return "info";
    case core::LogLevel::kWarning:
      return "warning";
    case core::LogLevel::kError:
      return "error";
  }
  return "error";
}

int numeric_level(core::LogLevel level) {
  // The values of logging.DEBUG, INFO, WARNING and ERROR.
  switch (level) {
    case core::LogLevel::kDebug:
      return 10;
    case core::LogLevel::kInfo:
      return 20;
    case core::LogLevel::kWarning:
      return 30;
    case core::LogLevel::kError:
      return 40;
  }
  return 40;
}

}  // namespace

py::object service_logger() { return py::module_::import("mosswork_utils.logger").attr("logger"); }

void log_object(core::LogLevel level, py::handle message) {
  service_logger().attr(method_name(level))(message);
}

bool PyLog::enabled(core::LogLevel level) const {
  py::gil_scoped_acquire gil;
  try {
    return service_logger().attr("isEnabledFor")(numeric_level(level)).cast<bool>();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("mosswork_utils logger");
    return true;
  }
}

void PyLog::write(core::LogLevel level, std::string_view text) {
  py::gil_scoped_acquire gil;
  try {
    // Texts come from the core as UTF-8; undecodable bytes are kept visible, not dropped.
    log_object(level, decode_utf8(text, "replace"));
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("mosswork_utils logger");
  }
}

PyLog& py_log() {
  static PyLog log;  // stateless: holds no Python object, safe at interpreter shutdown
  return log;
}

}  // namespace mosswork::bridge
