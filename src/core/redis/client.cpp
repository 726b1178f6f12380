// Client calls: borrow a connection, run, and tell the pool what failures mean.
#include "core/redis/client.h"

#include <utility>

#include "core/common/errors.h"

namespace mosswork::core::redis {
namespace {

// A master that Sentinel turned into a replica answers writes with READONLY, and unblocks
// blocked clients with UNBLOCKED before closing them.
bool means_demoted_master(std::string_view error_text) {
  const std::string_view code = error_code(error_text);
  return code == "READONLY" ||
         error_text.starts_with("UNBLOCKED force unblock from blocking operation");
}

[[noreturn]] void throw_demoted() { throw ConnectionClosed("The previous master is now a slave"); }

}  // namespace

ConnectionOptions ClientOptions::connection() const {
  ConnectionOptions c;
  c.host = host;
  c.port = port;
  c.username = username;
  c.password = password;
  c.db = db;
  c.socket_timeout = socket_timeout;
  c.connect_timeout = connect_timeout;
  return c;
}

Client::Client(const ClientOptions& options)
    : pool_(std::make_shared<ConnectionPool>(options.connection(),
                                             PoolOptions{options.max_connections})) {}

Client::Client(std::shared_ptr<ConnectionPool> pool) : pool_(std::move(pool)) {
  if (!pool_) throw InvalidArgument("a Redis client needs a connection pool");
}

template <typename Call>
auto Client::run(Call&& call) const {
  ConnectionPool::Lease lease = pool_->acquire();
  lease.vouch_for_pid();
  try {
    return call(*lease);
  } catch (const ReplyError& e) {
    if (pool_->follows_master() && means_demoted_master(e.what())) {
      lease.discard();
      pool_->reset();
      throw_demoted();
    }
    throw;
  } catch (const ConnectionClosed&) {
    lease.discard();
    pool_->note_connection_error();
    throw;
  } catch (const Timeout&) {
    lease.discard();
    pool_->note_connection_error();
    throw;
  }
}

Reply Client::command(std::span<const std::string_view> args) const {
  return run([&](Connection& c) { return c.command(args); });
}

std::vector<Reply> Client::round_trip(const CommandBatch& batch) const {
  return run([&](Connection& c) {
    std::vector<Reply> replies = c.round_trip(batch);
    for (const Reply& r : replies) {
      // The batch was read whole; a demoted master still means the pool must look again.
      if (r.is_error() && pool_->follows_master() && means_demoted_master(r.str())) {
        pool_->reset();
        break;
      }
    }
    return replies;
  });
}

ConnectionPool::Lease Client::dedicated() const { return pool_->acquire(); }

Reply Client::command(std::initializer_list<std::string_view> args) const {
  return command(std::span<const std::string_view>(args.begin(), args.size()));
}

std::vector<Reply> Client::pipeline(const CommandBatch& batch, bool transaction,
                                    bool raise_on_error) const {
  return run([&](Connection& c) {
    std::vector<Reply> results = c.pipeline(batch, transaction, raise_on_error);
    if (pool_->follows_master()) {
      // Kept error replies count too: a demoted master must not keep taking the batch.
      for (const Reply& r : results) {
        if (r.is_error() && means_demoted_master(r.str())) throw ReplyError(r.str());
      }
    }
    return results;
  });
}

}  // namespace mosswork::core::redis
