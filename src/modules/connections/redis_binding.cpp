// Python face of the core Redis client: Redis, Pipeline, Lock and Sentinel, shaped like redis-py.
#include "modules/connections/redis_binding.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bridge/errors.h"
#include "core/redis/lock.h"
#include "core/redis/sentinel.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

using Args = std::vector<std::string>;

[[noreturn]] void raise_class(const char* cls, const std::string& text) {
  PyErr_SetObject(bridge::exception_class(cls).ptr(), py::str(text).ptr());
  throw py::error_already_set();
}

// One argument as redis-py's encoder writes it.
std::string encode_arg(py::handle v) {
  PyObject* o = v.ptr();
  if (PyBytes_Check(o)) return std::string(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) throw py::error_already_set();
    return std::string(s, static_cast<std::size_t>(n));
  }
  if (PyBool_Check(o) || o == Py_None) {
    raise_class("DataError", std::string("Invalid input of type: '") + Py_TYPE(o)->tp_name +
                                 "'. Convert to a bytes, string, int or float first.");
  }
  if (PyLong_Check(o) || PyFloat_Check(o)) return py::repr(v).cast<std::string>();
  if (PyByteArray_Check(o)) return std::string(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
  if (PyMemoryView_Check(o)) return py::bytes(py::reinterpret_borrow<py::object>(v)).cast<std::string>();
  raise_class("DataError", std::string("Invalid input of type: '") + Py_TYPE(o)->tp_name +
                               "'. Convert to a bytes, string, int or float first.");
}

Args encode_args(const py::args& args) {
  Args out;
  out.reserve(args.size());
  for (py::handle a : args) out.push_back(encode_arg(a));
  return out;
}

std::string upper(std::string_view s) {
  std::string u(s);
  std::transform(u.begin(), u.end(), u.begin(), [](unsigned char c) { return std::toupper(c); });
  return u;
}

// Raw reply to Python: nil None, integer int, bulk and status bytes, array list.
py::object raw(const redis::Reply& r) {
  switch (r.type()) {
    case redis::Reply::Type::kNil: return py::none();
    case redis::Reply::Type::kInteger: return py::int_(r.integer());
    case redis::Reply::Type::kBulk:
    case redis::Reply::Type::kStatus: return py::bytes(r.str());
    case redis::Reply::Type::kError: {
      // Inside pipeline results, as redis-py returns them when not raising.
      try {
        throw core::ReplyError(r.str());
      } catch (...) {
        bridge::set_python_error(std::current_exception(), Domain::kRedis);
      }
      py::error_already_set e;
      return e.value();
    }
    case redis::Reply::Type::kArray: {
      py::list l(r.elements().size());
      std::size_t i = 0;
      for (const auto& e : r.elements()) l[i++] = raw(e);
      return l;
    }
  }
  return py::none();
}

py::dict pairs_to_dict(const redis::Reply& r) {
  py::dict d;
  const auto& el = r.elements();
  for (std::size_t i = 0; i + 1 < el.size(); i += 2) d[raw(el[i])] = raw(el[i + 1]);
  return d;
}

// redis-py's response callbacks for the commands the service uses.
py::object convert(const std::string& command, const redis::Reply& r) {
  if (r.is_error()) return raw(r);
  static const char* kBool[] = {"AUTH", "COPY", "EXPIRE", "EXPIREAT", "HEXISTS", "HMSET", "MOVE",
                                "MSETNX", "PERSIST", "PSETEX", "RENAMENX", "SISMEMBER", "SMOVE",
                                "SETEX", "SETNX", "PEXPIRE", "PEXPIREAT"};
  static const char* kOk[] = {"FLUSHALL", "FLUSHDB", "LSET", "LTRIM", "MSET", "PFMERGE", "RENAME",
                              "SAVE", "SELECT", "SHUTDOWN", "SLAVEOF", "SWAPDB", "WATCH",
                              "UNWATCH", "ASKING"};
  for (const char* c : kBool) {
    if (command == c) return py::bool_(r.is_integer() ? r.integer() != 0 : !r.is_nil());
  }
  for (const char* c : kOk) {
    if (command == c) return py::bool_(r.is_status() && r.str() == "OK");
  }
  if (command == "PING") return py::bool_(r.is_status() && r.str() == "PONG");
  if (command == "SET") {
    if (r.is_status()) return py::bool_(r.str() == "OK");
    return raw(r);  // nil when NX/XX refused; the old value with GET
  }
  if (command == "HGETALL" && r.is_array()) return pairs_to_dict(r);
  if ((command == "HSCAN" || command == "ZSCAN") && r.is_array() && r.elements().size() == 2) {
    return py::make_tuple(py::int_(py::str(r.elements()[0].str())), pairs_to_dict(r.elements()[1]));
  }
  if ((command == "SCAN" || command == "SSCAN") && r.is_array() && r.elements().size() == 2) {
    return py::make_tuple(py::int_(py::str(r.elements()[0].str())), raw(r.elements()[1]));
  }
  if ((command == "SMEMBERS" || command == "SDIFF" || command == "SINTER" || command == "SUNION") &&
      r.is_array()) {
    py::set s;
    for (const auto& e : r.elements()) s.add(raw(e));
    return s;
  }
  return raw(r);
}

// ---- commands shared by Redis and Pipeline ------------------------------------------------------

template <typename Self, typename Class>
void bind_commands(Class& cls) {
  auto cmd = [](std::initializer_list<const char*> head) {
    Args a;
    for (const char* h : head) a.emplace_back(h);
    return a;
  };
  cls.def(
         "execute_command",
         [](py::object self, const py::args& args, const py::kwargs&) {
           if (args.size() == 0) throw py::type_error("execute_command needs a command name");
           return Self::call(self, encode_args(args));
         },
         "Sends one command; the reply as redis-py returns it.")
      .def("ping", [cmd](py::object self) { return Self::call(self, cmd({"PING"})); })
      .def("get", [cmd](py::object self, py::handle name) {
        Args a = cmd({"GET"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def(
          "set",
          [cmd](py::object self, py::handle name, py::handle value, py::handle ex, py::handle px,
                bool nx, bool xx, bool get) {
            Args a = cmd({"SET"});
            a.push_back(encode_arg(name));
            a.push_back(encode_arg(value));
            if (!ex.is_none()) {
              a.emplace_back("EX");
              a.push_back(encode_arg(ex));
            }
            if (!px.is_none()) {
              a.emplace_back("PX");
              a.push_back(encode_arg(px));
            }
            if (nx) a.emplace_back("NX");
            if (xx) a.emplace_back("XX");
            if (get) a.emplace_back("GET");
            return Self::call(self, std::move(a));
          },
          py::arg("name"), py::arg("value"), py::arg("ex") = py::none(), py::arg("px") = py::none(),
          py::arg("nx") = false, py::arg("xx") = false, py::arg("get") = false)
      .def("delete", [cmd](py::object self, const py::args& names) {
        Args a = cmd({"DEL"});
        for (py::handle n : names) a.push_back(encode_arg(n));
        return Self::call(self, std::move(a));
      })
      .def("exists", [cmd](py::object self, const py::args& names) {
        Args a = cmd({"EXISTS"});
        for (py::handle n : names) a.push_back(encode_arg(n));
        return Self::call(self, std::move(a));
      })
      .def("keys", [cmd](py::object self, py::handle pattern) {
        Args a = cmd({"KEYS"});
        a.push_back(encode_arg(pattern));
        return Self::call(self, std::move(a));
      }, py::arg("pattern") = "*")
      .def("expire", [cmd](py::object self, py::handle name, py::handle time) {
        Args a = cmd({"EXPIRE"});
        a.push_back(encode_arg(name));
        a.push_back(encode_arg(time));
        return Self::call(self, std::move(a));
      }, py::arg("name"), py::arg("time"))
      .def("ttl", [cmd](py::object self, py::handle name) {
        Args a = cmd({"TTL"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("incr", [cmd](py::object self, py::handle name, py::handle amount) {
        Args a = cmd({"INCRBY"});
        a.push_back(encode_arg(name));
        a.push_back(encode_arg(amount));
        return Self::call(self, std::move(a));
      }, py::arg("name"), py::arg("amount") = 1)
      .def("hget", [cmd](py::object self, py::handle name, py::handle key) {
        Args a = cmd({"HGET"});
        a.push_back(encode_arg(name));
        a.push_back(encode_arg(key));
        return Self::call(self, std::move(a));
      }, py::arg("name"), py::arg("key"))
      .def(
          "hset",
          [cmd](py::object self, py::handle name, py::handle key, py::handle value,
                py::handle mapping) {
            Args a = cmd({"HSET"});
            a.push_back(encode_arg(name));
            if (!key.is_none()) {
              a.push_back(encode_arg(key));
              a.push_back(encode_arg(value));
            }
            if (!mapping.is_none()) {
              for (auto item : mapping.cast<py::dict>()) {
                a.push_back(encode_arg(item.first));
                a.push_back(encode_arg(item.second));
              }
            }
            if (a.size() == 2) raise_class("DataError", "'hset' with no key value pairs");
            return Self::call(self, std::move(a));
          },
          py::arg("name"), py::arg("key") = py::none(), py::arg("value") = py::none(),
          py::arg("mapping") = py::none())
      .def("hgetall", [cmd](py::object self, py::handle name) {
        Args a = cmd({"HGETALL"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("hdel", [cmd](py::object self, py::handle name, const py::args& keys) {
        Args a = cmd({"HDEL"});
        a.push_back(encode_arg(name));
        for (py::handle k : keys) a.push_back(encode_arg(k));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("hexists", [cmd](py::object self, py::handle name, py::handle key) {
        Args a = cmd({"HEXISTS"});
        a.push_back(encode_arg(name));
        a.push_back(encode_arg(key));
        return Self::call(self, std::move(a));
      }, py::arg("name"), py::arg("key"))
      .def("hlen", [cmd](py::object self, py::handle name) {
        Args a = cmd({"HLEN"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def(
          "hscan",
          [cmd](py::object self, py::handle name, py::handle cursor, py::handle match,
                py::handle count) {
            Args a = cmd({"HSCAN"});
            a.push_back(encode_arg(name));
            a.push_back(encode_arg(cursor));
            if (!match.is_none()) {
              a.emplace_back("MATCH");
              a.push_back(encode_arg(match));
            }
            if (!count.is_none()) {
              a.emplace_back("COUNT");
              a.push_back(encode_arg(count));
            }
            return Self::call(self, std::move(a));
          },
          py::arg("name"), py::arg("cursor") = 0, py::arg("match") = py::none(),
          py::arg("count") = py::none())
      .def("sadd", [cmd](py::object self, py::handle name, const py::args& values) {
        Args a = cmd({"SADD"});
        a.push_back(encode_arg(name));
        for (py::handle v : values) a.push_back(encode_arg(v));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("srem", [cmd](py::object self, py::handle name, const py::args& values) {
        Args a = cmd({"SREM"});
        a.push_back(encode_arg(name));
        for (py::handle v : values) a.push_back(encode_arg(v));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("scard", [cmd](py::object self, py::handle name) {
        Args a = cmd({"SCARD"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("smembers", [cmd](py::object self, py::handle name) {
        Args a = cmd({"SMEMBERS"});
        a.push_back(encode_arg(name));
        return Self::call(self, std::move(a));
      }, py::arg("name"))
      .def("sismember", [cmd](py::object self, py::handle name, py::handle value) {
        Args a = cmd({"SISMEMBER"});
        a.push_back(encode_arg(name));
        a.push_back(encode_arg(value));
        return Self::call(self, std::move(a));
      }, py::arg("name"), py::arg("value"))
      .def("flushdb", [cmd](py::object self) {
        return Self::call(self, cmd({"FLUSHDB"}));
      });
}

// ---- Pipeline -----------------------------------------------------------------------------------

class PyPipeline {
 public:
  PyPipeline(core::redis::Client client, bool transaction)
      : client_(std::move(client)), transaction_(transaction) {}

  py::object dispatch(py::handle self, Args args) {
    names_.push_back(upper(args.front()));
    queued_.push_back(std::move(args));
    return py::reinterpret_borrow<py::object>(self);
  }

  py::list execute(bool raise_on_error) {
    std::vector<Args> queued = std::move(queued_);
    std::vector<std::string> names = std::move(names_);
    reset();
    py::list out;
    if (queued.empty()) return out;
    auto replies = released(Domain::kRedis, [&] {
      redis::CommandBatch batch;
      std::size_t total = 0;
      for (const auto& c : queued) total += c.size();
      batch.reserve(queued.size(), total);
      std::vector<std::string_view> views;
      for (const auto& c : queued) {
        views.assign(c.begin(), c.end());
        batch.add(std::span<const std::string_view>(views));
      }
      return client_.pipeline(batch, transaction_, raise_on_error);
    });
    for (std::size_t i = 0; i < replies.size(); ++i) out.append(convert(names[i], replies[i]));
    return out;
  }

  void reset() {
    queued_.clear();
    names_.clear();
  }
  std::size_t size() const noexcept { return queued_.size(); }

 private:
  core::redis::Client client_;
  bool transaction_;
  std::vector<Args> queued_;
  std::vector<std::string> names_;
};

// ---- Lock ---------------------------------------------------------------------------------------

// redis-py's Lock. With thread_local (the default) each thread keeps its own token, so a lock
// object shared by threads behaves as it does in redis-py.
class PyLock {
 public:
  PyLock(core::redis::Client client, std::string name, redis::LockOptions options,
         bool thread_local_tokens)
      : client_(std::move(client)),
        name_(std::move(name)),
        options_(options),
        thread_local_(thread_local_tokens) {}

  template <typename Op>
  auto with_lock(Op&& op) {
    redis::Lock lock(client_, name_, options_);
    lock.set_token(token());
    auto store = [&] { set_token(lock.token()); };
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<Op, redis::Lock&>>) {
        released(Domain::kRedis, [&] { op(lock); });
        store();
      } else {
        auto r = released(Domain::kRedis, [&] { return op(lock); });
        store();
        return r;
      }
    } catch (...) {
      store();
      throw;
    }
  }

  std::optional<std::string> token() {
    std::lock_guard guard(mutex_);
    if (!thread_local_) return shared_token_;
    auto it = tokens_.find(std::this_thread::get_id());
    return it == tokens_.end() ? std::nullopt : it->second;
  }

  void set_token(std::optional<std::string> t) {
    std::lock_guard guard(mutex_);
    if (!thread_local_) {
      shared_token_ = std::move(t);
    } else if (t) {
      tokens_[std::this_thread::get_id()] = std::move(t);
    } else {
      tokens_.erase(std::this_thread::get_id());
    }
  }

  const std::string& name() const noexcept { return name_; }
  const redis::LockOptions& options() const noexcept { return options_; }

 private:
  core::redis::Client client_;
  std::string name_;
  redis::LockOptions options_;
  bool thread_local_;
  std::mutex mutex_;  // guards the token map only, never held across a command
  std::optional<std::string> shared_token_;
  std::unordered_map<std::thread::id, std::optional<std::string>> tokens_;
};

std::optional<redis::Seconds> seconds(py::handle v) {
  if (v.is_none()) return std::nullopt;
  return redis::Seconds(v.cast<double>());
}

std::optional<std::string> text_or_none(py::handle v) {
  if (v.is_none()) return std::nullopt;
  return encode_arg(v);
}

redis::ClientOptions client_options(py::handle host, py::handle port, py::handle db,
                                    py::handle password, py::handle username,
                                    py::handle socket_timeout, py::handle max_connections) {
  redis::ClientOptions o;
  if (!host.is_none()) o.host = py::str(host).cast<std::string>();
  if (!port.is_none()) o.port = py::int_(py::reinterpret_borrow<py::object>(port)).cast<int>();
  if (!db.is_none()) o.db = py::int_(py::reinterpret_borrow<py::object>(db)).cast<int>();
  if (!password.is_none()) o.password = encode_arg(password);
  if (!username.is_none()) o.username = encode_arg(username);
  o.socket_timeout = seconds(socket_timeout);
  if (!max_connections.is_none()) {
    long long n = py::int_(py::reinterpret_borrow<py::object>(max_connections)).cast<long long>();
    if (n <= 0) throw py::value_error("\"max_connections\" must be a positive integer");
    o.max_connections = static_cast<std::size_t>(n);
  }
  return o;
}

}  // namespace

// The object that Redis, Pipeline and the module share.
PyRedis::PyRedis(std::optional<core::redis::Client> client, std::string missing,
                 std::string description)
    : client_(std::move(client)), missing_(std::move(missing)), description_(std::move(description)) {}

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

namespace {

// How a command runs: Redis sends it at once, Pipeline queues it and returns itself.
struct RedisCall {
  static py::object call(py::handle self, Args args) {
    const PyRedis& r = self.cast<const PyRedis&>();
    std::string name = upper(args.front());
    const core::redis::Client& client = r.client();
    auto reply = released(Domain::kRedis, [&] {
      std::vector<std::string_view> views(args.begin(), args.end());
      return client.command(std::span<const std::string_view>(views));
    });
    return convert(name, reply);
  }
};

struct PipelineCall {
  static py::object call(py::handle self, Args args) {
    return self.cast<PyPipeline&>().dispatch(self, std::move(args));
  }
};

// The Sentinel client keeps the connection arguments it was given for the master and replica
// clients it makes, as redis-py does; only the time-out also applies to the sentinels.
struct PySentinel {
  std::shared_ptr<redis::Sentinel> sentinel;
  py::object password, socket_timeout, username, db;
};

}  // namespace

void bind_redis(py::module_& m) {
  auto redis_cls = py::class_<PyRedis>(m, "Redis",
                                       "A Redis client over a thread- and fork-safe connection "
                                       "pool, shaped like redis-py's Redis.");
  redis_cls
      .def(py::init([](py::object host, py::object port, py::object db, py::object password,
                       py::object socket_timeout, py::object max_connections, py::object username) {
             return make_redis(host, port, db, password, username, socket_timeout, max_connections);
           }),
           py::arg("host") = "localhost", py::arg("port") = 6379, py::arg("db") = 0,
           py::arg("password") = py::none(), py::arg("socket_timeout") = py::none(),
           py::arg("max_connections") = py::none(), py::arg("username") = py::none())
      .def("__repr__", [](const PyRedis& r) { return r.description(); })
      .def(
          "pipeline",
          [](const PyRedis& r, bool transaction) { return PyPipeline(r.client(), transaction); },
          py::arg("transaction") = true)
      .def(
          "lock",
          [](const PyRedis& r, py::handle name, py::handle timeout, double sleep, bool blocking,
             py::handle blocking_timeout, bool thread_local_tokens) {
            redis::LockOptions o;
            if (!timeout.is_none()) {
              o.timeout = std::chrono::milliseconds(
                  static_cast<long long>(timeout.cast<double>() * 1000.0 + 0.5));
            }
            o.sleep = redis::Seconds(sleep);
            o.blocking = blocking;
            o.blocking_timeout = seconds(blocking_timeout);
            return std::make_unique<PyLock>(r.client(), encode_arg(name), o, thread_local_tokens);
          },
          py::arg("name"), py::arg("timeout") = py::none(), py::arg("sleep") = 0.1,
          py::arg("blocking") = true, py::arg("blocking_timeout") = py::none(),
          py::arg("thread_local") = true)
      .def("connection_counts",
           [](const PyRedis& r) {
             auto& pool = r.client().pool();
             return py::make_tuple(pool.open_connections(), pool.idle_connections());
           },
           "(open, idle) connections of this process's pool.")
      .def("reset_pool", [](const PyRedis& r) { r.client().pool().reset(); },
           "Drops the idle connections; lent-out ones close when they come back.");
  bind_commands<RedisCall>(redis_cls);

  auto pipe_cls = py::class_<PyPipeline>(m, "Pipeline",
                                         "Commands queued and sent in one round trip; with "
                                         "transaction=True, as one MULTI/EXEC.");
  pipe_cls
      .def("execute", &PyPipeline::execute, py::arg("raise_on_error") = true)
      .def("reset", &PyPipeline::reset)
      .def("__len__", &PyPipeline::size)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyPipeline& p, py::args) { p.reset(); });
  bind_commands<PipelineCall>(pipe_cls);

  py::class_<PyLock>(m, "Lock", "A named Redis lock with redis-py's semantics.")
      .def(
          "acquire",
          [](PyLock& l, py::handle blocking, py::handle blocking_timeout, py::handle token) {
            std::optional<bool> b;
            if (!blocking.is_none()) b = blocking.cast<bool>();
            auto bt = seconds(blocking_timeout);
            auto t = text_or_none(token);
            return l.with_lock([&](redis::Lock& lock) { return lock.acquire(b, bt, t); });
          },
          py::arg("blocking") = py::none(), py::arg("blocking_timeout") = py::none(),
          py::arg("token") = py::none())
      .def("release", [](PyLock& l) { l.with_lock([](redis::Lock& lock) { lock.release(); }); })
      .def("locked", [](PyLock& l) { return l.with_lock([](redis::Lock& lock) { return lock.locked(); }); })
      .def("owned", [](PyLock& l) { return l.with_lock([](redis::Lock& lock) { return lock.owned(); }); })
      .def(
          "extend",
          [](PyLock& l, double additional_time, bool replace_ttl) {
            auto ms = std::chrono::milliseconds(static_cast<long long>(additional_time * 1000 + 0.5));
            l.with_lock([&](redis::Lock& lock) { lock.extend(ms, replace_ttl); });
            return true;
          },
          py::arg("additional_time"), py::arg("replace_ttl") = false)
      .def("reacquire", [](PyLock& l) {
        l.with_lock([](redis::Lock& lock) { lock.reacquire(); });
        return true;
      })
      .def_property_readonly("name", &PyLock::name)
      .def_property_readonly("timeout",
                             [](const PyLock& l) -> py::object {
                               if (!l.options().timeout) return py::none();
                               return py::float_(l.options().timeout->count() / 1000.0);
                             })
      .def_property_readonly("blocking", [](const PyLock& l) { return l.options().blocking; })
      .def("__enter__",
           [](py::object self) {
             PyLock& l = self.cast<PyLock&>();
             bool ok = l.with_lock([](redis::Lock& lock) { return lock.acquire(); });
             if (!ok) raise_class("LockError", "Unable to acquire lock within the time specified");
             return self;
           })
      .def("__exit__", [](PyLock& l, py::args) {
        l.with_lock([](redis::Lock& lock) { lock.release(); });
      });

  auto pick = [](py::handle given, py::handle fallback) {
    return given.is_none() ? py::reinterpret_borrow<py::object>(fallback)
                           : py::reinterpret_borrow<py::object>(given);
  };
  // master_for and slave_for take the same arguments; the Sentinel's own ones fill the gaps.
  auto follow = [pick](bool master) {
    return [pick, master](const PySentinel& s, const std::string& name, py::handle password,
                          py::handle socket_timeout, py::handle db, py::handle username,
                          py::handle max_connections) {
      auto o = client_options(py::none(), py::none(), pick(db, s.db), pick(password, s.password),
                              pick(username, s.username), pick(socket_timeout, s.socket_timeout),
                              max_connections);
      if (master) return PyRedis(s.sentinel->master_for(name, o), "", "Redis<master of " + name + ">");
      return PyRedis(s.sentinel->slave_for(name, o), "", "Redis<replica of " + name + ">");
    };
  };
  py::class_<PySentinel>(m, "Sentinel",
                         "Finds the master and replicas of a monitored service through Redis "
                         "Sentinel; master_for and slave_for make clients that follow failovers.")
      .def(py::init([](py::handle sentinels, py::object password, py::object socket_timeout,
                       py::object username, py::object db, int min_other_sentinels) {
             redis::SentinelOptions o;
             for (py::handle pair : sentinels) {
               if (!PySequence_Check(pair.ptr()) || PyUnicode_Check(pair.ptr()) ||
                   PySequence_Size(pair.ptr()) != 2) {
                 throw py::value_error("each sentinel must be a (host, port) pair, not " +
                                       py::repr(pair).cast<std::string>());
               }
               py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
               o.sentinels.push_back(
                   {py::str(seq[0]).cast<std::string>(), py::int_(py::object(seq[1])).cast<int>()});
             }
             o.socket_timeout = seconds(socket_timeout);
             o.min_other_sentinels = min_other_sentinels;
             PySentinel s;
             s.sentinel = std::make_shared<redis::Sentinel>(std::move(o));
             s.password = password;
             s.socket_timeout = socket_timeout;
             s.username = username;
             s.db = db;
             return s;
           }),
           py::arg("sentinels"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("username") = py::none(),
           py::arg("db") = 0, py::arg("min_other_sentinels") = 0)
      .def("discover_master",
           [](const PySentinel& s, const std::string& name) {
             auto a = released(Domain::kRedis, [&] { return s.sentinel->discover_master(name); });
             return py::make_tuple(a.host, a.port);
           }, py::arg("service_name"))
      .def("discover_slaves",
           [](const PySentinel& s, const std::string& name) {
             auto list = released(Domain::kRedis, [&] { return s.sentinel->discover_slaves(name); });
             py::list out;
             for (auto& a : list) out.append(py::make_tuple(a.host, a.port));
             return out;
           }, py::arg("service_name"))
      .def("master_for", follow(true), py::arg("service_name"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("db") = py::none(),
           py::arg("username") = py::none(), py::arg("max_connections") = py::none())
      .def("slave_for", follow(false), py::arg("service_name"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("db") = py::none(),
           py::arg("username") = py::none(), py::arg("max_connections") = py::none());
}

}  // namespace mosswork::connections
