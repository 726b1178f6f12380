// Python face of the HTTP clients: Retry, PoolManager, Minio, OpenSearch and the vector database.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core/s3/s3_client.h"

namespace mosswork::connections {

// The object-store client; one built without an endpoint fails at its first call. Declared here
// so that other modules that receive a Minio object can reach its core client.
struct PyMinio {
  std::shared_ptr<core::s3::S3Client> client;
  std::string missing;

  core::s3::S3Client& get() const {
    if (!client) throw pybind11::value_error(missing);
    return *client;
  }
};

void bind_http(pybind11::module_& m);

}  // namespace mosswork::connections
