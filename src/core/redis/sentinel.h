// Redis Sentinel: master and replica discovery, and clients whose pools follow a failover.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/redis/client.h"
#include "core/redis/connection.h"
#include "core/redis/pool.h"

namespace mosswork::core::redis {

struct SentinelOptions {
  std::vector<Address> sentinels;          // asked in this order at first (at most 16)
  std::optional<Seconds> socket_timeout;   // limit of each exchange with a sentinel
  std::optional<Seconds> connect_timeout;  // TCP connect limit; unset: socket_timeout
  std::string username;                    // AUTH towards the sentinels themselves, if they need it
  std::string password;                    // AUTH password towards the sentinels
  int min_other_sentinels = 0;  // a master counts only when its sentinel sees this many others
};

namespace detail {
class SentinelCore;
}

// A cheap handle: copies, and the clients it makes, share the sentinels' connections.
// Discovery asks the sentinels in turn, skips one that refuses, fails or stays silent past
// socket_timeout, and moves the first that answers to the front for next time.
class Sentinel {
 public:
  explicit Sentinel(SentinelOptions options);

  // The master's address as the sentinels report it (SENTINEL get-master-addr-by-name, checked
  // against SENTINEL MASTER: it must be a master, not s_down or o_down). Throws ConnectionClosed
  // "No master found for '<name>'" with each sentinel's error when none answers for it.
  Address discover_master(std::string_view service_name) const;
  // Replicas not flagged s_down, o_down or disconnected, from the first sentinel that knows any.
  std::vector<Address> discover_slaves(std::string_view service_name) const;

  // A client whose connections go to the current master. host and port of the options are
  // ignored. A connection error, or a READONLY reply, makes its pool drop its connections; the
  // next connection asks the sentinels again.
  Client master_for(std::string service_name, const ClientOptions& options) const;
  // A client whose connections go to the replicas in turn, or to the master when none is up.
  Client slave_for(std::string service_name, const ClientOptions& options) const;

  // The sentinels in the order the next discovery asks them.
  std::vector<Address> sentinel_order() const;

 private:
  std::shared_ptr<detail::SentinelCore> core_;
};

}  // namespace mosswork::core::redis
