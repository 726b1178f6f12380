// Python face of the HTTP clients: Retry, PoolManager, Minio, OpenSearch and the vector database.
#pragma once

#include <pybind11/pybind11.h>

namespace mosswork::connections {

void bind_http(pybind11::module_& m);

}  // namespace mosswork::connections
