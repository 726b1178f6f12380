// Pooled easy/multi handle pairs, the shared caches and the fork guard.
#include "core/http/pool.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "core/common/unique_fd.h"
#include "core/http/curl_errors.h"

namespace mosswork::core::http {

// ---- PoolEntry ------------------------------------------------------------------------------

PoolEntry::PoolEntry(CURLSH* share) : pid_(::getpid()), share_(share) {
  ensure_curl_initialised();
  multi_.reset(curl_multi_init());
  easy_.reset(curl_easy_init());
  if (!multi_ || !easy_) throw std::bad_alloc();
  // One connection per entry: the pool's size is its number of entries.
  curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, 1L);
}

PoolEntry::~PoolEntry() {
  if (::getpid() != pid_) abandon();
}

void PoolEntry::abandon() noexcept {
  for (const SocketRecord& s : sockets_) {
    struct stat st{};
    // Only a descriptor that still names the very socket libcurl opened is closed: the number
    // may have been closed and reused for something else in this process.
    if (::fstat(s.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == s.dev &&
        st.st_ino == s.ino) {
      ::close(s.fd);
    }
  }
  sockets_.clear();
  (void)easy_.release();
  (void)multi_.release();
}

curl_socket_t PoolEntry::open_socket(void* clientp, curlsocktype purpose, curl_sockaddr* address) {
  auto* self = static_cast<PoolEntry*>(clientp);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  UniqueFd fd(::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol));
  if (!fd) return CURL_SOCKET_BAD;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return CURL_SOCKET_BAD;
  try {
    self->sockets_.push_back({fd.get(), st.st_dev, st.st_ino});
  } catch (...) {
    return CURL_SOCKET_BAD;
  }
  return fd.release();  // libcurl closes it through close_socket
}

int PoolEntry::close_socket(void* clientp, curl_socket_t fd) {
  auto* self = static_cast<PoolEntry*>(clientp);
  auto& list = self->sockets_;
  list.erase(
      std::remove_if(list.begin(), list.end(), [fd](const SocketRecord& s) { return s.fd == fd; }),
      list.end());
  return ::close(fd);
}

// ---- PoolState ------------------------------------------------------------------------------

PoolState::PoolState(PoolLimits limits) : pid_(::getpid()), limits_(limits) {
  ensure_curl_initialised();
  share_.reset(curl_share_init());
  if (!share_) throw std::bad_alloc();
  CURLSH* sh = share_.get();
  curl_share_setopt(sh, CURLSHOPT_LOCKFUNC, &PoolState::lock_share);
  curl_share_setopt(sh, CURLSHOPT_UNLOCKFUNC, &PoolState::unlock_share);
  curl_share_setopt(sh, CURLSHOPT_USERDATA, this);
  // DNS answers and TLS sessions are shared. The connection cache is not: libcurl documents a
  // shared connection cache as unsafe between concurrent threads, so each entry keeps its own.
  curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  idle_.reserve(std::min<std::size_t>(limits_.max_connections, 1024));
}

PoolState::~PoolState() {
  idle_.clear();  // entries before the share they use
}

void PoolState::lock_share(CURL*, curl_lock_data data, curl_lock_access, void* userptr) {
  auto* self = static_cast<PoolState*>(userptr);
  self->share_locks_[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].lock();
}

void PoolState::unlock_share(CURL*, curl_lock_data data, void* userptr) {
  auto* self = static_cast<PoolState*>(userptr);
  self->share_locks_[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].unlock();
}

std::unique_ptr<PoolEntry> PoolState::take(std::string_view origin, bool& counted) {
  std::unique_ptr<PoolEntry> victim;
  std::unique_lock lock(mu_);
  for (;;) {
    // The latest entry that last talked to this origin keeps its connection warm.
    auto same = std::find_if(idle_.rbegin(), idle_.rend(),
                             [&](const auto& e) { return e->origin() == origin; });
    if (same != idle_.rend()) {
      auto pos = std::next(same).base();
      std::unique_ptr<PoolEntry> entry = std::move(*pos);
      idle_.erase(pos);
      counted = true;
      return entry;
    }
    if (live_ < limits_.max_connections) {
      ++live_;
      counted = true;
      break;
    }
    if (!idle_.empty()) {
      // Full: the least recently used entry makes room. It is replaced rather than pointed at
      // another origin, since libcurl would keep its old connection open next to the new one.
      victim = std::move(idle_.front());
      idle_.erase(idle_.begin());
      counted = true;
      break;
    }
    if (!limits_.block_when_full) {
      counted = false;
      break;
    }
    freed_.wait(lock);
  }
  lock.unlock();
  victim.reset();  // closes its connection, outside the lock
  try {
    return std::make_unique<PoolEntry>(share_.get());
  } catch (...) {
    if (counted) {
      std::lock_guard relock(mu_);
      --live_;
      freed_.notify_one();
    }
    throw;
  }
}

void PoolState::give_back(std::unique_ptr<PoolEntry> entry, bool counted) noexcept {
  if (!counted) return;  // a transient entry closes its connection here
  std::lock_guard lock(mu_);
  if (entry) {
    idle_.push_back(std::move(entry));
  } else {
    --live_;
  }
  freed_.notify_one();
}

PoolStats PoolState::stats() {
  std::lock_guard lock(mu_);
  return {idle_.size(), live_};
}

void PoolState::abandon_in_child() noexcept {
  // A mutex held by a parent thread at fork time stays locked here: then nothing is walked.
  if (mu_.try_lock()) {
    for (auto& entry : idle_) entry->abandon();
    for (auto& entry : idle_) (void)entry.release();
  }
  (void)share_.release();
}

void PoolState::dispose(PoolState* state) noexcept {
  if (!state) return;
  if (state->pid_ == ::getpid()) {
    delete state;
  } else {
    state->abandon_in_child();  // the state's own memory is left behind on purpose
  }
}

// ---- Lease ----------------------------------------------------------------------------------

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    entry_ = std::move(other.entry_);
    counted_ = other.counted_;
  }
  return *this;
}

void Lease::reset() noexcept {
  if (!entry_) {
    state_.reset();
    return;
  }
  pid_t me = ::getpid();
  if (state_ && state_->pid() == me && entry_->pid() == me) {
    state_->give_back(std::move(entry_), counted_);
  } else {
    entry_.reset();  // lent before a fork: its destructor abandons it
  }
  state_.reset();
}

// ---- Pool -----------------------------------------------------------------------------------

Pool::Pool(PoolLimits limits) : limits_(limits), state_(make_state()) {}

std::shared_ptr<PoolState> Pool::make_state() const {
  return std::shared_ptr<PoolState>(new PoolState(limits_), &PoolState::dispose);
}

std::shared_ptr<PoolState> Pool::current() {
  std::shared_ptr<PoolState> state = state_.load(std::memory_order_acquire);
  pid_t me = ::getpid();
  if (state->pid() == me) return state;
  std::shared_ptr<PoolState> fresh = make_state();
  while (!state_.compare_exchange_weak(state, fresh, std::memory_order_acq_rel)) {
    if (state->pid() == me) return state;  // another thread of this child renewed it
  }
  return fresh;
}

Lease Pool::borrow(std::string_view origin) {
  std::shared_ptr<PoolState> state = current();
  bool counted = false;
  std::unique_ptr<PoolEntry> entry = state->take(origin, counted);
  if (entry->origin() != origin) entry->set_origin(std::string(origin));
  return Lease(std::move(state), std::move(entry), counted);
}

PoolStats Pool::stats() { return current()->stats(); }

}  // namespace mosswork::core::http
