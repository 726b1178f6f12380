// YAML documents as Python values: what the core's safe reader parsed, built into the objects a
// safe loader builds (dict, list, str, int, float, bool, None, date, datetime).
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "core/plugins/yaml_value.h"

namespace mosswork::bridge::yaml {

pybind11::object to_python(const core::plugins::YamlValue& value);

// Parses text (GIL released) and builds the Python value; parse errors raise ValueError.
pybind11::object safe_load(std::string_view text);

}  // namespace mosswork::bridge::yaml
