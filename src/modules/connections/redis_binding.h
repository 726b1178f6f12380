// Python face of the core Redis client: the native bases of Redis and Sentinel, Lock, and the
// dedicated connections that pipelines with WATCH and subscriptions run on.
// What the Redis files of connections share; the client objects are in bridge/clients.h.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/clients.h"
#include "core/common/errors.h"
#include "core/redis/client.h"

namespace mosswork::connections {

using Args = std::vector<std::string>;

// How a reply becomes the Python value redis-py returns for the command (its response
// callbacks for the commands the service uses).
enum class ReplyShape {
  kRaw,      // nil None, integer int, bulk and status bytes, array list
  kBool,     // integer != 0, or not nil
  kPairs,    // array of field, value pairs as a dict
  kMembers,  // array as a set
};

pybind11::object convert(ReplyShape shape, const core::redis::Reply& reply);

// A command's arguments encoded as redis-py encodes them; a name of several words is split.
Args encode_command(pybind11::handle values);
// The commands (each its encoded arguments) as one batch; a command without a name is refused.
core::redis::CommandBatch batch_of(const std::vector<Args>& commands);
// Raw replies as a list: bytes, int, None, lists, and error replies as exception objects.
pybind11::list raw_list(const std::vector<core::redis::Reply>& replies);
// A raw reply made what redis-py returns: options (the command methods' keywords) stripped of
// the ones meant for the client, then the client's response callback for command_name.
pybind11::object parse_reply(pybind11::handle self, pybind11::handle command_name,
                             pybind11::object reply, const pybind11::dict& options);

// A connection of a client's pool kept by one user (a pipeline that watches keys, a
// subscription) until it closes it or gives it back.
class PyRedisConnection {
 public:
  explicit PyRedisConnection(core::redis::Client client);
  ~PyRedisConnection();

  void open();  // acquires (and connects) the connection; the GIL must be released
  // Runs op on the connection, one user at a time; throws ConnectionClosed once closed.
  template <typename Op>
  auto with_connection(Op&& op) {
    std::lock_guard guard(mutex_);
    if (!lease_) throw core::ConnectionClosed("Connection closed.");
    return op(**lease_);
  }
  // Closes the connection: it may hold WATCHed keys or subscriptions, so it is not given back.
  void close() noexcept;
  // Gives the connection back to the pool (closed instead when it broke).
  void release() noexcept;
  bool is_open();

 private:
  core::redis::Client client_;  // keeps the pool alive as long as the lease
  std::mutex mutex_;            // one user of the socket at a time; held for one exchange or slice
  std::optional<core::redis::ConnectionPool::Lease> lease_;
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
void bind_redis_commands(pybind11::class_<PyRedis>& redis);
// The connections a client lends for good: the connections' _Connection class.
void bind_dedicated(pybind11::module_& m, pybind11::class_<PyRedis>& redis);
void bind_lock(pybind11::class_<PyLock>& lock);
void bind_sentinel(pybind11::class_<PySentinel>& sentinel);

// _execute_stack: a pipeline's queue sent and read back as redis-py's Pipeline does.
void bind_pipeline(pybind11::module_& m);

void bind_redis(pybind11::module_& m);

}  // namespace mosswork::connections
