// The trace performance report: one self-contained HTML page with three Plotly figures (profile
// summary tables, timeline, flame graph), drawn from a Report.
#pragma once

#include <string>

#include "core/trace/profile.h"

namespace mosswork::core::trace {

// Writes the page to path, replacing what the file held. The Plotly library is read from
// plotly_js_path and included once, ahead of the figures. Throws core::Error on I/O failure.
void write_report(const std::string& path, const Report& report, const std::string& plotly_js_path);

}  // namespace mosswork::core::trace
