// Connection pool: free list under one mutex, generations for failover, fresh state per process.
#include "core/redis/pool.h"

#include <unistd.h>

#include <utility>

#include "core/common/errors.h"
#include "core/redis/pool_state.h"

namespace mosswork::core::redis {

ConnectionPool::ConnectionPool(ConnectionOptions connection_options, PoolOptions pool_options,
                               std::shared_ptr<Endpoint> endpoint)
    : connection_options_(std::move(connection_options)),
      pool_options_(pool_options),
      endpoint_(std::move(endpoint)),
      state_(new State(getpid())) {
  if (pool_options_.max_connections && *pool_options_.max_connections == 0) {
    delete state_.load();
    throw InvalidArgument("max_connections must be a positive integer");
  }
}

ConnectionPool::~ConnectionPool() {
  State* s = state_.load();
  // Destroyed in a forked child that never used the pool: the state is the parent's, and a
  // parent thread may have been inside its mutex at fork(). Then leave it alone.
  if (s->pid != getpid()) {
    if (!s->mutex.try_lock()) return;
    s->mutex.unlock();
  }
  while (s) {
    State* parent = s->inherited;
    // A parent state whose mutex was held at fork() may be half-updated: leave it alone.
    const bool parent_safe = s->inherited_cleaned;
    delete s;
    s = parent_safe ? parent : nullptr;
  }
}

ConnectionPool::State* ConnectionPool::state() { return state(getpid()); }

ConnectionPool::State* ConnectionPool::state(pid_t pid) {
  State* s = state_.load(std::memory_order_acquire);
  if (s->pid == pid) [[likely]] {
    return s;
  }
  return adopt_after_fork(s, pid);
}

ConnectionPool::State* ConnectionPool::adopt_after_fork(State* inherited, pid_t pid) {
  for (;;) {
    auto fresh = std::make_unique<State>(pid);
    fresh->inherited = inherited;
    State* expected = inherited;
    if (state_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      // This thread installed the child's state. The parent's idle connections can be freed
      // if no parent thread was inside the mutex at fork(); freeing closes their descriptors
      // and sends nothing. The state itself stays (other threads may still read its pid).
      if (inherited->mutex.try_lock()) {
        std::vector<std::unique_ptr<Connection>> idle = std::move(inherited->idle);
        inherited->idle.clear();
        inherited->open = 0;
        inherited->mutex.unlock();
        idle.clear();
        fresh->inherited_cleaned = true;
      }
      return fresh.release();
    }
    if (expected->pid == pid) return expected;  // another thread of this child got there first
    inherited = expected;
  }
}

ConnectionPool::Lease ConnectionPool::acquire() {
  const pid_t pid = getpid();
  State* s = state(pid);
  std::unique_ptr<Connection> connection;
  std::uint64_t generation;
  {
    std::lock_guard lock(s->mutex);
    generation = s->generation;
    if (!s->idle.empty()) {
      connection = std::move(s->idle.back());
      s->idle.pop_back();
    } else if (pool_options_.max_connections && s->open >= *pool_options_.max_connections) {
      throw ConnectionClosed("Too many connections");
    } else {
      ++s->open;
    }
  }
  if (!connection) {
    try {
      connection = std::make_unique<Connection>(connection_options_);
    } catch (...) {
      std::lock_guard lock(s->mutex);
      --s->open;
      throw;
    }
  }
  Lease lease(this, s, generation, std::move(connection), pid);
  // An idle socket with input waiting was closed by the server (timeout, CLIENT KILL, restart,
  // failover) or holds stray bytes: open a new one rather than fail the caller's command.
  if (lease->connected_in(pid) && lease->has_pending_input()) lease->disconnect();
  if (!lease->connected_in(pid)) open(lease);
  return lease;
}

void ConnectionPool::open(Lease& lease) {
  try {
    if (!endpoint_) {
      lease->connect();
      return;
    }
    Address address = endpoint_->open(*lease);
    if (!endpoint_->follows_master()) return;
    State* s = lease.state_;
    std::vector<std::unique_ptr<Connection>> dropped;
    {
      std::lock_guard lock(s->mutex);
      if (s->address != address) {
        // The master moved: connections to the old one must not serve another command.
        if (s->address) {
          ++s->generation;
          s->open -= s->idle.size();
          dropped.swap(s->idle);
        }
        s->address = std::move(address);
      }
      lease.generation_ = s->generation;
    }
  } catch (...) {
    lease->mark_broken();
    throw;
  }
}

void ConnectionPool::reset() {
  State* s = state();
  std::vector<std::unique_ptr<Connection>> dropped;
  {
    std::lock_guard lock(s->mutex);
    ++s->generation;
    s->open -= s->idle.size();
    dropped.swap(s->idle);
    s->address.reset();
  }
  // dropped closes here, outside the mutex.
}

void ConnectionPool::note_connection_error() {
  if (endpoint_) reset();
}

std::size_t ConnectionPool::open_connections() {
  State* s = state();
  std::lock_guard lock(s->mutex);
  return s->open;
}

std::size_t ConnectionPool::idle_connections() {
  State* s = state();
  std::lock_guard lock(s->mutex);
  return s->idle.size();
}

void ConnectionPool::give_back(State* s, std::uint64_t generation,
                               std::unique_ptr<Connection> connection, pid_t known_pid) noexcept {
  connection->vouched_pid_ = 0;
  const pid_t pid = known_pid ? known_pid : getpid();
  // Lent before fork() (or before the child replaced the state): the slot belongs to a state
  // this process no longer uses, so only close the connection.
  if (s != state_.load(std::memory_order_acquire) || s->pid != pid) return;
  const bool reusable = !connection->broken() && connection->connected_in(pid);
  {
    std::lock_guard lock(s->mutex);
    if (reusable && generation == s->generation) {
      try {
        s->idle.push_back(std::move(connection));
        return;
      } catch (...) {
        // No room to keep it: close it like a broken one.
      }
    }
    --s->open;
  }
  // connection closes here, outside the mutex.
}

// ---- Lease -------------------------------------------------------------------------------------

ConnectionPool::Lease::Lease(ConnectionPool* pool, State* state, std::uint64_t generation,
                             std::unique_ptr<Connection> connection, pid_t pid) noexcept
    : pool_(pool),
      state_(state),
      generation_(generation),
      connection_(std::move(connection)),
      pid_(pid) {}

ConnectionPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      state_(other.state_),
      generation_(other.generation_),
      connection_(std::move(other.connection_)),
      pid_(other.pid_),
      vouched_(other.vouched_) {}

ConnectionPool::Lease::~Lease() {
  if (pool_ && connection_) {
    pool_->give_back(state_, generation_, std::move(connection_), vouched_ ? pid_ : 0);
  }
}

void ConnectionPool::Lease::vouch_for_pid() noexcept {
  vouched_ = true;
  if (connection_) connection_->vouched_pid_ = pid_;
}

void ConnectionPool::Lease::discard() noexcept {
  if (connection_) connection_->mark_broken();
}

}  // namespace mosswork::core::redis
