// The Python-side objects of the shared service clients. The connections module binds each of
// them (once); they are declared here so that any module that receives one as a Python object can
// reach the core client inside (py::cast after an isinstance check, or bridge::arg).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "bridge/errors.h"
#include "core/http/http_client.h"
#include "core/http/retry.h"
#include "core/redis/client.h"
#include "core/redis/lock.h"
#include "core/redis/sentinel.h"
#include "core/s3/s3_client.h"
#include "core/search/opensearch_client.h"
#include "core/vexlo/vexlo_client.h"

namespace mosswork::connections {

// connections.Redis. A client built without host or port is kept, and fails at its first
// command, so that a missing configuration key surfaces where the client is used.
class PyRedis {
 public:
  PyRedis(std::optional<core::redis::Client> client, std::string missing, std::string description);

  // The core client; raises RedisConnectionError when the client could not be configured.
  const core::redis::Client& client() const;
  const std::string& description() const noexcept { return description_; }

 private:
  std::optional<core::redis::Client> client_;
  std::string missing_;
  std::string description_;
};

// connections.Lock: redis-py's Lock. With thread_local (the default) each thread keeps its own
// token, so a lock object shared by threads behaves as it does in redis-py.
class PyLock {
 public:
  PyLock(core::redis::Client client, std::string name, core::redis::LockOptions options,
         bool thread_local_tokens);

  // Runs op on a core lock that carries this thread's token, with the GIL released, and keeps
  // the token it ends with (also when op throws).
  template <typename Op>
  auto with_lock(Op&& op) {
    return with_lock(options_, std::forward<Op>(op));
  }
  // The same with other options for this one call (acquire's own sleep).
  template <typename Op>
  auto with_lock(const core::redis::LockOptions& options, Op&& op) {
    core::redis::Lock lock(client_, name_, options);
    lock.set_token(token());
    auto store = [&] { set_token(lock.token()); };
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<Op, core::redis::Lock&>>) {
        bridge::released(bridge::Domain::kRedis, [&] { op(lock); });
        store();
      } else {
        auto r = bridge::released(bridge::Domain::kRedis, [&] { return op(lock); });
        store();
        return r;
      }
    } catch (...) {
      store();
      throw;
    }
  }

  const std::string& name() const noexcept { return name_; }
  const core::redis::LockOptions& options() const noexcept { return options_; }

 private:
  std::optional<std::string> token();
  void set_token(std::optional<std::string> t);

  core::redis::Client client_;
  std::string name_;
  core::redis::LockOptions options_;
  bool thread_local_;
  std::mutex mutex_;  // guards the token map only, never held across a command
  std::optional<std::string> shared_token_;
  std::unordered_map<std::thread::id, std::optional<std::string>> tokens_;
};

// connections.Sentinel. It keeps the connection arguments it was given for the master and
// replica clients it makes, as redis-py does; only the time-out also applies to the sentinels.
struct PySentinel {
  std::shared_ptr<core::redis::Sentinel> sentinel;
  pybind11::object password, socket_timeout, username, db;
};

// connections.Retry: the retry policy of a PoolManager.
struct PyRetry {
  core::http::RetryPolicy policy;
};

// connections.PoolManager: the shared HTTP transport.
struct PyPoolManager {
  std::shared_ptr<core::http::HttpClient> client;
  std::size_t maxsize;
  std::optional<double> timeout;
};

// connections.Minio; one built without an endpoint fails at its first call.
struct PyMinio {
  std::shared_ptr<core::s3::S3Client> client;
  std::string missing;

  core::s3::S3Client& get() const {
    if (!client) throw pybind11::value_error(missing);
    return *client;
  }
};

// connections.OpenSearch.
struct PyOpenSearch {
  std::shared_ptr<core::search::OpenSearchClient> client;
  pybind11::object address;  // the URL-form address text, or None in the host-list form
  pybind11::object hosts;    // the host list as given, or None
  bool use_ssl = false;
};

// connections.AsyncVexloClient; connections.VexloClient is the core client itself.
struct PyAsyncVexlo {
  std::shared_ptr<core::vexlo::VexloClient> client;
};

}  // namespace mosswork::connections
