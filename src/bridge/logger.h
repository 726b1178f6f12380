// Forwards log texts to the service logger, mosswork_utils.logger.logger.
#pragma once

#include <pybind11/pybind11.h>

#include "core/common/log.h"

namespace mosswork::bridge {

// The service logger object, looked up on every call so that a replaced logger is honoured.
pybind11::object service_logger();

// Calls logger.<level>(message) with the GIL held; message may be any Python object.
void log_object(core::LogLevel level, pybind11::handle message);

// The core's Log interface over the service logger. Safe to call with or without the GIL: it
// takes the GIL for the duration of each call. A failing logger is reported as unraisable: a log
// line must never turn a core result into a failure.
class PyLog final : public core::Log {
 public:
  bool enabled(core::LogLevel level) const override;
  void write(core::LogLevel level, std::string_view text) override;
};

// One adapter shared by every module; it holds no Python object.
PyLog& py_log();

}  // namespace mosswork::bridge
