// Python face of the HTTP clients: Retry, PoolManager, Minio, OpenSearch and the vector database.
// What the HTTP files of connections share; the client objects are in bridge/clients.h.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <string>

#include "core/common/chrono_units.h"

namespace mosswork::connections {

// Seconds as the core's milliseconds, rounded.
using core::seconds_to_ms;

// str(value) as UTF-8.
inline std::string str_of(pybind11::handle v) { return pybind11::str(v).cast<std::string>(); }

// One per client family; each registers its classes before any method.
void bind_transport(pybind11::module_& m);  // Retry, PoolManager
void bind_s3(pybind11::module_& m);         // Object, ObjectStream, Minio
void bind_opensearch(pybind11::module_& m);
void bind_vexlo(pybind11::module_& m);  // Record, VexloClient, AsyncVexloClient

// All of the above, in that order.
void bind_http(pybind11::module_& m);

}  // namespace mosswork::connections
