// The connection pool behind HttpClient: pairs of easy and multi handles kept for reuse (each
// pair keeps its one connection alive in its multi handle's cache), a shared DNS and TLS-session
// cache, and the fork guard that gives a child process a pool of its own.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/curl_handles.h"

namespace mosswork::core::http {

struct PoolLimits {
  std::size_t max_connections = 100;  // entries (each with at most one connection) kept for reuse
  bool block_when_full = false;       // wait for a free entry instead of making a transient one
};

struct PoolStats {
  std::size_t idle = 0;  // entries waiting for reuse
  std::size_t live = 0;  // entries counted against max_connections (idle and lent)
};

// A socket libcurl opened for an entry, with the identity of its open file description.
struct SocketRecord {
  int fd;
  dev_t dev;
  ino_t ino;
};

// One easy handle with its own multi handle. The multi handle's connection cache holds the
// entry's connection between transfers, so blocking and streamed transfers reuse it alike.
class PoolEntry {
 public:
  explicit PoolEntry(CURLSH* share);
  PoolEntry(const PoolEntry&) = delete;
  PoolEntry& operator=(const PoolEntry&) = delete;
  // In the process that made it: closes the connection. In a forked child: see abandon().
  ~PoolEntry();

  CURL* easy() const noexcept { return easy_.get(); }
  CURLM* multi() const noexcept { return multi_.get(); }
  CURLSH* share() const noexcept { return share_; }
  pid_t pid() const noexcept { return pid_; }
  const std::string& origin() const noexcept { return origin_; }
  void set_origin(std::string origin) { origin_ = std::move(origin); }
  std::size_t open_sockets() const noexcept { return sockets_.size(); }

  // In a child process: closes the descriptors of this entry's sockets that still refer to the
  // same sockets (a plain close, nothing is sent on them, so the parent's connection is
  // undisturbed) and lets libcurl's memory go without calling into libcurl, whose shutdown
  // would write on the parent's connection (a TLS close_notify) and take the parent's locks.
  void abandon() noexcept;

  // libcurl socket callbacks; clientp is the entry.
  static curl_socket_t open_socket(void* clientp, curlsocktype purpose, curl_sockaddr* address);
  static int close_socket(void* clientp, curl_socket_t fd);

 private:
  pid_t pid_;
  CURLSH* share_;
  std::vector<SocketRecord> sockets_;  // declared first: libcurl closes sockets while cleaning up
  CurlMultiPtr multi_;
  CurlEasyPtr easy_;
  std::string origin_;
};

// The entries and caches of one process.
class PoolState {
 public:
  explicit PoolState(PoolLimits limits);
  PoolState(const PoolState&) = delete;
  PoolState& operator=(const PoolState&) = delete;
  ~PoolState();

  pid_t pid() const noexcept { return pid_; }
  CURLSH* share() const noexcept { return share_.get(); }

  // An idle entry last used for this origin; else a new one while under the limit; else the
  // least recently used idle one. `counted` tells whether it counts against the limit (transient
  // entries, made when all are lent and the pool does not block, are dropped on return).
  std::unique_ptr<PoolEntry> take(std::string_view origin, bool& counted);
  void give_back(std::unique_ptr<PoolEntry> entry, bool counted) noexcept;
  PoolStats stats();

  // Destroys a state in its own process; in a child it closes what can be closed and leaks the
  // rest (mutexes may have been held by threads that do not exist here).
  static void dispose(PoolState* state) noexcept;

 private:
  static void lock_share(CURL*, curl_lock_data data, curl_lock_access, void* userptr);
  static void unlock_share(CURL*, curl_lock_data data, void* userptr);
  void abandon_in_child() noexcept;

  pid_t pid_;
  PoolLimits limits_;
  // The share's locks guard only the share's caches (DNS, TLS sessions), never a transfer.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> share_locks_;
  CurlSharePtr share_;
  std::mutex mu_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<PoolEntry>> idle_;  // most recently used last
  std::size_t live_ = 0;
};

// An entry lent out; returns it on destruction.
class Lease {
 public:
  Lease() = default;
  Lease(std::shared_ptr<PoolState> state, std::unique_ptr<PoolEntry> entry, bool counted) noexcept
      : state_(std::move(state)), entry_(std::move(entry)), counted_(counted) {}
  Lease(Lease&&) noexcept = default;
  Lease& operator=(Lease&& other) noexcept;
  ~Lease() { reset(); }

  PoolEntry& entry() const noexcept { return *entry_; }
  explicit operator bool() const noexcept { return entry_ != nullptr; }
  void reset() noexcept;

 private:
  std::shared_ptr<PoolState> state_;
  std::unique_ptr<PoolEntry> entry_;
  bool counted_ = false;
};

// The pool an HttpClient owns. Borrowing in a process other than the one that made the current
// state replaces the state first, so a child never touches its parent's connections.
class Pool {
 public:
  explicit Pool(PoolLimits limits);
  Lease borrow(std::string_view origin);
  PoolStats stats();

 private:
  std::shared_ptr<PoolState> current();
  std::shared_ptr<PoolState> make_state() const;

  PoolLimits limits_;
  std::atomic<std::shared_ptr<PoolState>> state_;
};

}  // namespace mosswork::core::http
