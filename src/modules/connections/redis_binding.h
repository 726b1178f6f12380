// Python face of the core Redis client: Redis, Pipeline, Lock and Sentinel, shaped like redis-py.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "bridge/errors.h"
#include "core/redis/client.h"

namespace mosswork::connections {

// The Python Redis client. A client built without host or port is kept, and fails at its first
// command, so that a missing configuration key surfaces where the client is used.
class PyRedis {
 public:
  PyRedis(std::optional<core::redis::Client> client, std::string missing, std::string description);

  // The core client; raises RedisConnectionError when the client could not be configured.
  // Inline, so that other modules that receive a Redis object can reach its core client.
  const core::redis::Client& client() const {
    if (!client_) {
      PyErr_SetObject(bridge::exception_class("RedisConnectionError").ptr(),
                      pybind11::str(missing_).ptr());
      throw pybind11::error_already_set();
    }
    return *client_;
  }
  const std::string& description() const noexcept { return description_; }

 private:
  std::optional<core::redis::Client> client_;
  std::string missing_;
  std::string description_;
};

void bind_redis(pybind11::module_& m);

// Builds a plain client from redis-py-style keyword values (host, port, db, password, username,
// socket_timeout, max_connections); None values mean "not given".
PyRedis make_redis(pybind11::handle host, pybind11::handle port, pybind11::handle db,
                   pybind11::handle password, pybind11::handle username,
                   pybind11::handle socket_timeout, pybind11::handle max_connections);

}  // namespace mosswork::connections
