// A thread-safe, fork-safe pool of Redis connections, and the borrow guard it lends them with.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/redis/connection.h"

namespace mosswork::core::redis {

struct Address {
  std::string host;  // as the server or a sentinel reports it
  int port = 0;      // TCP port

  friend bool operator==(const Address&, const Address&) = default;
};

struct PoolOptions {
  std::optional<std::size_t> max_connections;  // open connections at most; unset: no limit
};

// Where a pool's connections go when that is not one fixed address (Sentinel).
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Connects the connection (closed) to the right server, asking others first if needed,
  // and returns the address it connected to. Throws when no server can be reached.
  virtual Address open(Connection& connection) = 0;
  // Whether the pool must drop its connections when the address open() returns changes, and
  // treat a READONLY reply as the sign that its server was demoted.
  virtual bool follows_master() const noexcept = 0;
};

// Lends connections to one thread at a time. The mutex guards only the free list and the
// counters: connecting and every command run outside it.
//
// Fork safety: the pool's state remembers the process that made it. The first use in a
// forked child puts a fresh state in place instead of touching the parent's: the child never
// sends on an inherited socket, closes the inherited idle ones (closing a descriptor in the
// child leaves the parent's connection alone), and never waits on a mutex that a thread of
// the parent held at the moment of fork().
class ConnectionPool {
 public:
  class Lease;

  // connection_options.host/port are used when endpoint is null.
  explicit ConnectionPool(ConnectionOptions connection_options, PoolOptions pool_options = {},
                          std::shared_ptr<Endpoint> endpoint = nullptr);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // A connected connection. Throws ConnectionClosed("Too many connections") at once when
  // max_connections are open and none is idle, and the connect errors otherwise.
  Lease acquire();

  // Drops every idle connection; connections lent out now are closed when they come back.
  void reset();
  // Reports a connection error or time-out seen on one of the pool's connections. A pool that
  // follows a Sentinel master drops its connections, so the next one asks the sentinels again.
  void note_connection_error();

  bool follows_master() const noexcept { return endpoint_ && endpoint_->follows_master(); }
  const ConnectionOptions& connection_options() const noexcept { return connection_options_; }
  const PoolOptions& pool_options() const noexcept { return pool_options_; }
  // Connections open (idle and lent out) and idle in this process, for tests and metrics.
  std::size_t open_connections();
  std::size_t idle_connections();

 private:
  friend struct PoolTestAccess;
  struct State;

  State* state();
  State* state(pid_t pid);
  State* adopt_after_fork(State* inherited, pid_t pid);
  void open(Lease& lease);
  // known_pid: this process's id when the caller knows it, else 0.
  void give_back(State* state, std::uint64_t generation, std::unique_ptr<Connection> connection,
                 pid_t known_pid) noexcept;

  const ConnectionOptions connection_options_;
  const PoolOptions pool_options_;
  const std::shared_ptr<Endpoint> endpoint_;
  std::atomic<State*> state_;
};

// Borrow guard: gives the connection back when it goes out of scope, unless the connection is
// broken (then it is closed and its slot freed). The pool must outlive it.
class ConnectionPool::Lease {
 public:
  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&&) = delete;
  Lease(const Lease&) = delete;
  ~Lease();

  Connection& operator*() const noexcept { return *connection_; }
  Connection* operator->() const noexcept { return connection_.get(); }
  // Closes the connection now; it is not given back.
  void discard() noexcept;

 private:
  friend class ConnectionPool;
  friend class Client;
  Lease(ConnectionPool* pool, State* state, std::uint64_t generation,
        std::unique_ptr<Connection> connection, pid_t pid) noexcept;
  // For a caller whose whole use of the lease is one call on one thread: no fork() can come
  // between acquire and give-back there, so the pid checked at acquire stays true.
  void vouch_for_pid() noexcept;

  ConnectionPool* pool_;
  State* state_;
  std::uint64_t generation_;
  std::unique_ptr<Connection> connection_;
  pid_t pid_;             // process that acquired the lease
  bool vouched_ = false;  // whether pid_ may be trusted at give-back
};

}  // namespace mosswork::core::redis
