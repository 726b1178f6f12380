// The Redis client the service shares between threads: a pool plus command and pipeline calls.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/redis/connection.h"
#include "core/redis/pool.h"
#include "core/redis/reply.h"

namespace mosswork::core::redis {

struct ClientOptions {
  std::string host = "127.0.0.1";          // server address (ignored by Sentinel clients)
  int port = 6379;                         // server port (ignored by Sentinel clients)
  std::string username;                    // AUTH user; empty sends AUTH <password> alone
  std::string password;                    // AUTH password; no AUTH when both are empty
  int db = 0;                              // SELECT db on each new connection when not 0
  std::optional<Seconds> socket_timeout;   // limit of each read and write; unset waits forever
  std::optional<Seconds> connect_timeout;  // limit of the TCP connect; unset uses socket_timeout
  std::optional<std::size_t> max_connections;  // pool size limit; unset: no limit

  ConnectionOptions connection() const;
};

// A cheap handle: copies share one pool. Every call is blocking, touches no shared state
// besides the pool's free list, and is safe from any thread, so a binding can run it with its
// interpreter lock released.
class Client {
 public:
  explicit Client(const ClientOptions& options);
  explicit Client(std::shared_ptr<ConnectionPool> pool);

  // One command; an error reply throws ReplyError.
  Reply command(std::span<const std::string_view> args) const;
  Reply command(std::initializer_list<std::string_view> args) const;
  // One round trip for the whole batch; see Connection::pipeline.
  std::vector<Reply> pipeline(const CommandBatch& batch, bool transaction = true,
                              bool raise_on_error = true) const;

  // One round trip, one raw reply per command (see Connection::round_trip).
  std::vector<Reply> round_trip(const CommandBatch& batch) const;
  // A connection of the pool kept by the caller until the lease ends: for what must stay on
  // one connection (WATCH ... EXEC, subscriptions).
  ConnectionPool::Lease dedicated() const;

  ConnectionPool& pool() const noexcept { return *pool_; }
  const std::shared_ptr<ConnectionPool>& shared_pool() const noexcept { return pool_; }

 private:
  template <typename Call>
  auto run(Call&& call) const;

  std::shared_ptr<ConnectionPool> pool_;
};

}  // namespace mosswork::core::redis
