// Reading configuration values from the Python `config` map.
#pragma once

#include <pybind11/pybind11.h>

namespace mosswork::bridge {

// Whether a configured value counts as on: None, False, 0, the empty text and empty
// containers are off, everything else is on (so the text "False" is on).
bool is_on(pybind11::handle value);

// config[key] when the key is present (even when its value is None), else fallback.
pybind11::object config_value(pybind11::handle config, const char* key,
                              pybind11::handle fallback = pybind11::none());

// The TLS rule of the OpenSearch connection: off for exactly the text "False" or an off value.
bool tls_flag(pybind11::handle value);

}  // namespace mosswork::bridge
