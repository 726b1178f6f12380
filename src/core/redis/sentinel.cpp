// Sentinel discovery and the endpoints of Sentinel-managed pools.
#include "core/redis/sentinel.h"

#include <sys/random.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <utility>

#include "core/common/errors.h"

namespace mosswork::core::redis {
namespace detail {
namespace {

constexpr std::size_t kMaxSentinels = 16;  // the order is packed four bits per sentinel

// The fields of one SENTINEL MASTER / SLAVES entry that discovery reads.
struct InstanceState {
  Address address;
  std::string flags;
  long long other_sentinels = 0;
};

bool has_flag(std::string_view flags, std::string_view flag) {
  while (!flags.empty()) {
    const std::size_t comma = flags.find(',');
    if (flags.substr(0, comma) == flag) return true;
    if (comma == std::string_view::npos) break;
    flags.remove_prefix(comma + 1);
  }
  return false;
}

int parse_port(std::string_view text) {
  int port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size() || port <= 0 || port > 65535) {
    throw ProtocolError("Protocol error: sentinel reported port '" + std::string(text) + "'");
  }
  return port;
}

// A flat name/value array, as RESP2 sentinels send each instance.
InstanceState parse_instance(const Reply& reply) {
  InstanceState state;
  bool have_ip = false, have_port = false;
  const std::vector<Reply>& fields = reply.elements();
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& name = fields[i].str();
    const Reply& value = fields[i + 1];
    if (name == "ip") {
      state.address.host = value.str();
      have_ip = true;
    } else if (name == "port") {
      state.address.port = parse_port(value.str());
      have_port = true;
    } else if (name == "flags") {
      state.flags = value.str();
    } else if (name == "num-other-sentinels") {
      const std::string& text = value.str();
      std::from_chars(text.data(), text.data() + text.size(), state.other_sentinels);
    }
  }
  if (!have_ip || !have_port) throw ProtocolError("Protocol error: sentinel entry without address");
  return state;
}

std::string describe(const Address& a) { return a.host + ":" + std::to_string(a.port); }

}  // namespace

class SentinelCore {
 public:
  explicit SentinelCore(SentinelOptions options)
      : min_other_sentinels_(options.min_other_sentinels) {
    if (options.sentinels.empty()) throw InvalidArgument("Sentinel needs at least one sentinel");
    if (options.sentinels.size() > kMaxSentinels) {
      throw InvalidArgument("Sentinel takes at most 16 sentinels");
    }
    std::uint64_t order = 0;
    for (std::size_t i = 0; i < options.sentinels.size(); ++i) {
      const Address& a = options.sentinels[i];
      ConnectionOptions c;
      c.host = a.host;
      c.port = a.port;
      c.username = options.username;
      c.password = options.password;
      c.socket_timeout = options.socket_timeout;
      c.connect_timeout = options.connect_timeout;
      addresses_.push_back(a);
      pools_.push_back(std::make_unique<ConnectionPool>(std::move(c)));
      order |= std::uint64_t{i} << (4 * i);
    }
    order_.store(order);
  }

  std::size_t size() const noexcept { return addresses_.size(); }

  std::vector<std::size_t> order() const {
    const std::uint64_t packed = order_.load(std::memory_order_relaxed);
    std::vector<std::size_t> out(size());
    for (std::size_t pos = 0; pos < out.size(); ++pos) out[pos] = (packed >> (4 * pos)) & 0xF;
    return out;
  }

  std::vector<Address> order_addresses() const {
    std::vector<Address> out;
    for (std::size_t i : order()) out.push_back(addresses_[i]);
    return out;
  }

  Address discover_master(std::string_view service) {
    std::string errors;
    const std::vector<std::size_t> tried = order();
    const std::string name(service);
    CommandBatch batch;
    batch.add({"SENTINEL", "get-master-addr-by-name", name});
    batch.add({"SENTINEL", "MASTER", name});
    for (std::size_t pos = 0; pos < tried.size(); ++pos) {
      const std::size_t index = tried[pos];
      std::vector<Reply> replies;
      try {
        ConnectionPool::Lease lease = pools_[index]->acquire();
        replies = lease->pipeline(batch, false, false);
      } catch (const Error& e) {
        errors += (errors.empty() ? "" : ", ") + describe(addresses_[index]) + " - " + e.what();
        continue;
      }
      std::optional<Address> found;
      try {
        found = choose_master(replies);
      } catch (const Error& e) {
        errors += (errors.empty() ? "" : ", ") + describe(addresses_[index]) + " - " + e.what();
        continue;
      }
      if (!found) continue;
      move_to_front(index);
      return *found;
    }
    throw MasterNotFound("No master found for '" + name + "'" +
                         (errors.empty() ? "" : " : " + errors));
  }

  std::vector<Address> discover_slaves(std::string_view service) {
    const std::string name(service);
    for (std::size_t index : order()) {
      Reply reply;
      try {
        ConnectionPool::Lease lease = pools_[index]->acquire();
        reply = lease->command({"SENTINEL", "SLAVES", name});
      } catch (const Error&) {
        continue;
      }
      std::vector<Address> alive;
      try {
        for (const Reply& entry : reply.elements()) {
          InstanceState s = parse_instance(entry);
          if (has_flag(s.flags, "s_down") || has_flag(s.flags, "o_down") ||
              has_flag(s.flags, "disconnected")) {
            continue;
          }
          alive.push_back(std::move(s.address));
        }
      } catch (const Error&) {
        continue;
      }
      if (!alive.empty()) return alive;
    }
    return {};
  }

 private:
  // The first reply names the address clients must use (during a failover, the promoted
  // replica once it took the master role); the second gives the master's state.
  std::optional<Address> choose_master(const std::vector<Reply>& replies) const {
    if (replies.size() != 2) throw ProtocolError("Protocol error: sentinel reply count");
    const Reply& by_name = replies[0];
    if (by_name.is_error()) throw ReplyError(by_name.str());
    if (by_name.is_nil()) return std::nullopt;  // this sentinel does not monitor the name
    const std::vector<Reply>& pair = by_name.elements();
    if (pair.size() != 2) throw ProtocolError("Protocol error: sentinel master address");
    Address address{pair[0].str(), parse_port(pair[1].str())};
    const Reply& master = replies[1];
    if (master.is_error()) throw ReplyError(master.str());
    const InstanceState state = parse_instance(master);
    if (state.other_sentinels < min_other_sentinels_) return std::nullopt;
    if (state.address == address) {
      if (!has_flag(state.flags, "master") || has_flag(state.flags, "s_down") ||
          has_flag(state.flags, "o_down")) {
        return std::nullopt;
      }
    }
    return address;
  }

  // Swaps the sentinel that answered with the first one, as redis-py does. The order is one
  // atomic word, so no mutex (which a fork() could leave locked) is needed.
  void move_to_front(std::size_t index) {
    std::uint64_t packed = order_.load(std::memory_order_relaxed);
    for (;;) {
      std::size_t pos = 0;
      while (pos < size() && ((packed >> (4 * pos)) & 0xF) != index) ++pos;
      if (pos == 0 || pos == size()) return;
      const std::uint64_t first = packed & 0xF;
      std::uint64_t next = packed;
      next &= ~std::uint64_t{0xF};
      next |= index;
      next &= ~(std::uint64_t{0xF} << (4 * pos));
      next |= first << (4 * pos);
      if (order_.compare_exchange_weak(packed, next, std::memory_order_relaxed)) return;
    }
  }

  std::vector<Address> addresses_;
  std::vector<std::unique_ptr<ConnectionPool>> pools_;
  std::atomic<std::uint64_t> order_{0};
  const int min_other_sentinels_;
};

namespace {

class MasterEndpoint final : public Endpoint {
 public:
  MasterEndpoint(std::shared_ptr<SentinelCore> core, std::string service)
      : core_(std::move(core)), service_(std::move(service)) {}

  Address open(Connection& connection) override {
    Address master = core_->discover_master(service_);
    connection.connect_to(master.host, master.port);
    return master;
  }
  bool follows_master() const noexcept override { return true; }

 private:
  std::shared_ptr<SentinelCore> core_;
  std::string service_;
};

class ReplicaEndpoint final : public Endpoint {
 public:
  ReplicaEndpoint(std::shared_ptr<SentinelCore> core, std::string service)
      : core_(std::move(core)), service_(std::move(service)) {
    std::uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) seed = 0;
    next_.store(seed);
  }

  Address open(Connection& connection) override {
    const std::vector<Address> replicas = core_->discover_slaves(service_);
    if (!replicas.empty()) {
      const std::size_t start = next_.fetch_add(1, std::memory_order_relaxed);
      for (std::size_t i = 0; i < replicas.size(); ++i) {
        const Address& a = replicas[(start + i) % replicas.size()];
        try {
          connection.connect_to(a.host, a.port);
          return a;
        } catch (const ConnectionClosed&) {
        } catch (const Timeout&) {
        }
      }
    }
    // No replica up: reads go to the master rather than fail.
    try {
      Address master = core_->discover_master(service_);
      connection.connect_to(master.host, master.port);
      return master;
    } catch (const ConnectionClosed&) {
    } catch (const Timeout&) {
    }
    throw SlaveNotFound("No slave found for '" + service_ + "'");
  }
  bool follows_master() const noexcept override { return false; }

 private:
  std::shared_ptr<SentinelCore> core_;
  std::string service_;
  std::atomic<std::size_t> next_{0};
};

}  // namespace
}  // namespace detail

Sentinel::Sentinel(SentinelOptions options)
    : core_(std::make_shared<detail::SentinelCore>(std::move(options))) {}

Address Sentinel::discover_master(std::string_view service_name) const {
  return core_->discover_master(service_name);
}

std::vector<Address> Sentinel::discover_slaves(std::string_view service_name) const {
  return core_->discover_slaves(service_name);
}

Client Sentinel::master_for(std::string service_name, const ClientOptions& options) const {
  auto endpoint = std::make_shared<detail::MasterEndpoint>(core_, std::move(service_name));
  return Client(std::make_shared<ConnectionPool>(
      options.connection(), PoolOptions{options.max_connections}, std::move(endpoint)));
}

Client Sentinel::slave_for(std::string service_name, const ClientOptions& options) const {
  auto endpoint = std::make_shared<detail::ReplicaEndpoint>(core_, std::move(service_name));
  return Client(std::make_shared<ConnectionPool>(
      options.connection(), PoolOptions{options.max_connections}, std::move(endpoint)));
}

std::vector<Address> Sentinel::sentinel_order() const { return core_->order_addresses(); }

}  // namespace mosswork::core::redis
