// Reading configuration values from the Python `config` map, and finding the configuration
// package the values come from.
#pragma once

#include <pybind11/pybind11.h>

namespace mosswork::bridge {

// The service's configuration package `configs`. When the process has none, the copy installed
// inside this package (mosswork_utils.configs) stands in for it: it is registered as `configs`,
// so every module and every resource lookup of the process sees the same package, and the
// substitution is logged once, at warning level. An error raised inside a `configs` that exists
// propagates unchanged.
pybind11::module_ configs_package();

// get_configs("service")["service"] of the configuration package. A configuration without that
// section is refused with a ValueError that says so (naming the file when the package tells it).
pybind11::object service_section();

// Whether a configured value counts as on: None, False, 0, the empty text and empty
// containers are off, everything else is on (so the text "False" is on).
bool is_on(pybind11::handle value);

// config[key] when the key is present (even when its value is None), else fallback.
pybind11::object config_value(pybind11::handle config, const char* key,
                              pybind11::handle fallback = pybind11::none());

// The TLS rule of the OpenSearch connection: off for exactly the text "False" or an off value.
bool tls_flag(pybind11::handle value);

}  // namespace mosswork::bridge
