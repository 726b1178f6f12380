// Python face of the core Redis client: Redis, Pipeline, Lock and Sentinel, shaped like redis-py.
// What the Redis files of connections share; the client objects are in bridge/clients.h.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/clients.h"
#include "core/redis/client.h"

namespace mosswork::connections {

using Args = std::vector<std::string>;

// How a reply becomes the Python value redis-py returns for the command (its response
// callbacks for the commands the service uses).
enum class ReplyShape {
  kRaw,    // nil None, integer int, bulk and status bytes, array list
  kBool,   // integer != 0, or not nil
  kOk,     // status "OK"
  kPong,   // status "PONG"
  kSet,    // status "OK" is True; otherwise raw (nil when NX/XX refused, the old value with GET)
  kPairs,  // array of field, value pairs as a dict
  kScanPairs,  // (cursor, dict of pairs)
  kScan,       // (cursor, list)
  kMembers,    // array as a set
};

// The shape redis-py gives the reply of this command word (any case), for execute_command.
ReplyShape reply_shape(std::string_view command);
pybind11::object convert(ReplyShape shape, const core::redis::Reply& reply);

// A Pipeline: commands queued and sent in one round trip; with transaction, as one MULTI/EXEC.
class PyPipeline {
 public:
  PyPipeline(core::redis::Client client, bool transaction)
      : client_(std::move(client)), transaction_(transaction) {}

  // Queues a command and returns self, so that calls chain.
  pybind11::object queue(pybind11::handle self, Args args, ReplyShape shape);
  pybind11::list execute(bool raise_on_error);
  void reset();
  std::size_t size() const noexcept { return queued_.size(); }

 private:
  core::redis::Client client_;
  bool transaction_;
  std::vector<Args> queued_;
  std::vector<ReplyShape> shapes_;
};

// Builds a plain client from redis-py-style keyword values (host, port, db, password, username,
// socket_timeout, max_connections); None values mean "not given".
PyRedis make_redis(pybind11::handle host, pybind11::handle port, pybind11::handle db,
                   pybind11::handle password, pybind11::handle username,
                   pybind11::handle socket_timeout, pybind11::handle max_connections);
core::redis::ClientOptions client_options(pybind11::handle host, pybind11::handle port,
                                          pybind11::handle db, pybind11::handle password,
                                          pybind11::handle username,
                                          pybind11::handle socket_timeout,
                                          pybind11::handle max_connections);

// A time in seconds, None for "not given"; name is the argument's, for the TypeError.
std::optional<core::redis::Seconds> seconds(pybind11::handle value, const char* name);

// Raises the class of mosswork_utils.exceptions named cls with text.
[[noreturn]] void raise_class(const char* cls, const std::string& text);

// The parts of bind_redis, each given its classes already registered.
void bind_redis_commands(pybind11::class_<PyRedis>& redis, pybind11::class_<PyPipeline>& pipeline);
void bind_lock(pybind11::class_<PyLock>& lock);
void bind_sentinel(pybind11::class_<PySentinel>& sentinel);

void bind_redis(pybind11::module_& m);

}  // namespace mosswork::connections
