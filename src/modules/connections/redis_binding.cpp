// Python face of the core Redis client: the Redis and Pipeline classes and the client options;
// the command methods, Lock and Sentinel have files of their own.
#include "modules/connections/redis_binding.h"

#include <pybind11/stl.h>

#include <chrono>
#include <memory>

#include "bridge/args.h"
#include "bridge/errors.h"
#include "core/common/chrono_units.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;

namespace mosswork::connections {

void raise_class(const char* cls, const std::string& text) {
  PyErr_SetObject(bridge::exception_class(cls).ptr(), py::str(text).ptr());
  throw py::error_already_set();
}

std::optional<redis::Seconds> seconds(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return redis::Seconds(bridge::arg<double>(value, name));
}

redis::ClientOptions client_options(py::handle host, py::handle port, py::handle db,
                                    py::handle password, py::handle username,
                                    py::handle socket_timeout, py::handle max_connections) {
  redis::ClientOptions o;
  if (!host.is_none()) o.host = py::str(host).cast<std::string>();
  // int() of the value, as redis-py takes them.
  if (!port.is_none()) o.port = bridge::int_arg(port, "port");
  if (!db.is_none()) o.db = bridge::int_arg(db, "db");
  if (!password.is_none()) o.password = bridge::redis_arg(password);
  if (!username.is_none()) o.username = bridge::redis_arg(username);
  o.socket_timeout = seconds(socket_timeout, "socket_timeout");
  if (!max_connections.is_none()) {
    int n = bridge::int_arg(max_connections, "max_connections");
    if (n <= 0) throw py::value_error("\"max_connections\" must be a positive integer");
    o.max_connections = static_cast<std::size_t>(n);
  }
  return o;
}

PyRedis make_redis(py::handle host, py::handle port, py::handle db, py::handle password,
                   py::handle username, py::handle socket_timeout, py::handle max_connections) {
  std::string desc = "Redis<host=" + py::str(host).cast<std::string>() +
                     ",port=" + py::str(port).cast<std::string>() +
                     ",db=" + py::str(db.is_none() ? py::int_(0) : db).cast<std::string>() + ">";
  if (host.is_none() || port.is_none()) {
    return PyRedis(std::nullopt,
                   std::string("Redis is not configured: no ") + (host.is_none() ? "host" : "port"),
                   desc);
  }
  return PyRedis(core::redis::Client(client_options(host, port, db, password, username,
                                                    socket_timeout, max_connections)),
                 "", desc);
}

void bind_redis(py::module_& m) {
  // Every class first, so that the signatures of the methods below show their Python names.
  // The native bases of Redis and Sentinel: mosswork_utils._redis makes the published classes
  // of them and of redis-py's, so that redis-py's whole surface runs over these pools.
  py::class_<PyRedis> redis_cls(m, "_RedisBase",
                                "The native part of Redis: a thread- and fork-safe connection "
                                "pool, execute_command and the commands served in C++.");
  py::class_<PyLock> lock_cls(m, "Lock", "A named Redis lock with redis-py's semantics.");
  py::class_<PySentinel> sentinel_cls(
      m, "_SentinelBase",
      "The native part of Sentinel: finds the master and replicas of a monitored service; "
      "master_for and slave_for make clients that follow failovers.");

  redis_cls
      // A second handle on the same pool (clients made by a Sentinel become Redis objects so).
      .def(py::init([](const PyRedis& other) { return PyRedis(other); }), py::arg("_client"))
      .def(py::init([](py::object host, py::object port, py::object db, py::object password,
                       py::object socket_timeout, py::object max_connections, py::object username) {
             return make_redis(host, port, db, password, username, socket_timeout, max_connections);
           }),
           py::arg("host") = "localhost", py::arg("port") = 6379, py::arg("db") = 0,
           py::arg("password") = py::none(), py::arg("socket_timeout") = py::none(),
           py::arg("max_connections") = py::none(), py::arg("username") = py::none())
      .def("_description", [](const PyRedis& r) { return r.description(); })
      .def(
          "_lock",
          [](const PyRedis& r, py::handle name, py::handle timeout, double sleep, bool blocking,
             py::handle blocking_timeout, bool thread_local_tokens) {
            redis::LockOptions o;
            if (!timeout.is_none()) {
              o.timeout = core::seconds_to_ms(bridge::arg<double>(timeout, "timeout"));
            }
            o.sleep = redis::Seconds(sleep);
            o.blocking = blocking;
            o.blocking_timeout = seconds(blocking_timeout, "blocking_timeout");
            return std::make_unique<PyLock>(r.client(), bridge::redis_arg(name), o,
                                            thread_local_tokens);
          },
          py::arg("name"), py::arg("timeout") = py::none(), py::arg("sleep") = 0.1,
          py::arg("blocking") = true, py::arg("blocking_timeout") = py::none(),
          py::arg("thread_local") = true)
      .def(
          "connection_counts",
          [](const PyRedis& r) {
            auto& pool = r.client().pool();
            return py::make_tuple(pool.open_connections(), pool.idle_connections());
          },
          "(open, idle) connections of this client's pool in this process; clients made from "
          "one another share one pool.")
      .def(
          "reset_pool", [](const PyRedis& r) { r.client().pool().reset(); },
          "Drops the idle connections; lent-out ones close when they come back.");

  m.def("_parse_reply", &parse_reply, py::arg("client"), py::arg("command_name"), py::arg("reply"),
        py::arg("options"),
        "A raw reply made what redis-py returns: the client's response callback for the "
        "command, given the command method's options.");
  bind_redis_commands(redis_cls);
  bind_dedicated(m, redis_cls);
  bind_pipeline(m);
  bind_lock(lock_cls);
  bind_sentinel(sentinel_cls);
}

}  // namespace mosswork::connections
