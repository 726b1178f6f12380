// Lock over SET NX PX and token-checking Lua scripts (EVALSHA, falling back to EVAL).
#include "core/redis/lock.h"

#include <chrono>
#include <thread>
#include <utility>

#include "core/common/chrono_units.h"
#include "core/common/errors.h"
#include "core/common/hex.h"
#include "core/common/random_token.h"

namespace mosswork::core::redis {
namespace {

// Every script starts by returning 0 unless the key still holds the caller's token (ARGV[1]).
constexpr std::string_view kOwnerCheck = R"(
local token = redis.call('get', KEYS[1])
if not token or token ~= ARGV[1] then
    return 0
end
)";

struct Script {
  explicit Script(std::string_view body)
      : text(std::string(kOwnerCheck).append(body)), sha(sha1_hex(text)) {}
  std::string text;
  std::string sha;
};

// Deletes the key.
constexpr std::string_view kReleaseBody = R"(redis.call('del', KEYS[1])
return 1
)";

// Adds ARGV[2] ms to the key's lifetime (or sets it, when ARGV[3] is "1").
constexpr std::string_view kExtendBody = R"(local expiration = redis.call('pttl', KEYS[1])
if not expiration then
    expiration = 0
end
if expiration < 0 then
    return 0
end
local newttl = ARGV[2]
if ARGV[3] == "0" then
    newttl = ARGV[2] + expiration
end
redis.call('pexpire', KEYS[1], newttl)
return 1
)";

// Sets the key's lifetime to ARGV[2] ms.
constexpr std::string_view kReacquireBody = R"(redis.call('pexpire', KEYS[1], ARGV[2])
return 1
)";

// Immutable after first use; function-local statics initialise thread-safely.
const Script& release_script() {
  static const Script s(kReleaseBody);
  return s;
}
const Script& extend_script() {
  static const Script s(kExtendBody);
  return s;
}
const Script& reacquire_script() {
  static const Script s(kReacquireBody);
  return s;
}

// Runs a one-key script: EVALSHA, or EVAL when the server has not cached it (NOSCRIPT).
Reply run_script(const Client& client, const Script& script, std::string_view key,
                 std::initializer_list<std::string_view> args) {
  std::vector<std::string_view> argv;
  argv.reserve(4 + args.size());
  argv.insert(argv.end(), {"EVALSHA", script.sha, "1", key});
  argv.insert(argv.end(), args);
  try {
    return client.command(argv);
  } catch (const ReplyError& e) {
    if (!has_error_code(e, "NOSCRIPT")) throw;
  }
  argv[0] = "EVAL";
  argv[1] = script.text;
  return client.command(argv);
}

}  // namespace

std::string random_token() { return random_hex(16); }

Lock::Lock(Client client, std::string name, LockOptions options)
    : client_(std::move(client)), name_(std::move(name)), options_(options) {
  if (options_.timeout && options_.timeout->count() <= 0) {
    throw InvalidArgument("a lock's timeout must be at least one millisecond");
  }
}

bool Lock::try_acquire(const std::string& token) {
  Reply reply;
  if (options_.timeout) {
    const std::string px = std::to_string(options_.timeout->count());
    reply = client_.command({"SET", name_, token, "NX", "PX", px});
  } else {
    reply = client_.command({"SET", name_, token, "NX"});
  }
  return !reply.is_nil();
}

bool Lock::acquire(std::optional<bool> blocking, std::optional<Seconds> blocking_timeout,
                   std::optional<std::string> token) {
  using Clock = std::chrono::steady_clock;
  const bool block = blocking.value_or(options_.blocking);
  const std::optional<Seconds> limit =
      blocking_timeout ? blocking_timeout : options_.blocking_timeout;
  const std::string value = token ? std::move(*token) : random_token();
  const auto sleep = round_seconds<Clock::duration>(options_.sleep.count());
  std::optional<Clock::time_point> stop;
  if (limit) {
    const Clock::time_point now = Clock::now();
    const auto wait = round_seconds<Clock::duration>(limit->count());
    // A wait past the clock's range has no deadline (the sum would overflow).
    if (wait < Clock::time_point::max() - now) stop = now + wait;
  }
  for (;;) {
    if (try_acquire(value)) {
      token_ = value;
      return true;
    }
    if (!block) return false;
    if (stop && Clock::now() + sleep > *stop) return false;
    std::this_thread::sleep_for(sleep);
  }
}

void Lock::release() {
  if (!token_) throw LockError("Cannot release a lock that's not owned or is already unlocked.");
  const std::string token = std::move(*token_);
  token_.reset();
  const Reply reply = run_script(client_, release_script(), name_, {token});
  if (reply.integer() == 0) throw LockNotOwned("Cannot release a lock that's no longer owned");
}

bool Lock::locked() const { return !client_.command({"GET", name_}).is_nil(); }

bool Lock::owned() const {
  if (!token_) return false;
  const Reply stored = client_.command({"GET", name_});
  return stored.is_bulk() && stored.str() == *token_;
}

void Lock::extend(std::chrono::milliseconds additional_time, bool replace_ttl) {
  if (!token_) throw LockError("Cannot extend an unlocked lock");
  if (!options_.timeout) throw LockError("Cannot extend a lock with no timeout");
  const std::string ms = std::to_string(additional_time.count());
  const Reply reply =
      run_script(client_, extend_script(), name_, {*token_, ms, replace_ttl ? "1" : "0"});
  if (reply.integer() == 0) throw LockNotOwned("Cannot extend a lock that's no longer owned");
}

void Lock::reacquire() {
  if (!token_) throw LockError("Cannot reacquire an unlocked lock");
  if (!options_.timeout) throw LockError("Cannot reacquire a lock with no timeout");
  const std::string ms = std::to_string(options_.timeout->count());
  const Reply reply = run_script(client_, reacquire_script(), name_, {*token_, ms});
  if (reply.integer() == 0) {
    throw LockNotOwned("Cannot reacquire a lock that's no longer owned");
  }
}

}  // namespace mosswork::core::redis
