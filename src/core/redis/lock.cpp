// Lock over SET NX PX and token-checking Lua scripts (EVALSHA, falling back to EVAL).
#include "core/redis/lock.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "core/common/errors.h"

namespace mosswork::core::redis {
namespace {

struct Script {
  explicit Script(const char* source) : text(source), sha(sha1_hex(source)) {}
  std::string_view text;
  std::string sha;

  static std::string sha1_hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha1(), nullptr) != 1) {
      throw Error("SHA-1 of a Lua script failed");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
      out += kHex[digest[i] >> 4];
      out += kHex[digest[i] & 0xF];
    }
    return out;
  }
};

// Deletes the key only when it still holds the caller's token.
constexpr const char* kReleaseSource = R"(
local token = redis.call('get', KEYS[1])
if not token or token ~= ARGV[1] then
    return 0
end
redis.call('del', KEYS[1])
return 1
)";

// Adds ARGV[2] ms to the key's lifetime (or sets it, when ARGV[3] is "1") if the token matches.
constexpr const char* kExtendSource = R"(
local token = redis.call('get', KEYS[1])
if not token or token ~= ARGV[1] then
    return 0
end
local expiration = redis.call('pttl', KEYS[1])
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

// Sets the key's lifetime to ARGV[2] ms if the token matches.
constexpr const char* kReacquireSource = R"(
local token = redis.call('get', KEYS[1])
if not token or token ~= ARGV[1] then
    return 0
end
redis.call('pexpire', KEYS[1], ARGV[2])
return 1
)";

// Immutable after first use; function-local statics initialise thread-safely.
const Script& release_script() {
  static const Script s(kReleaseSource);
  return s;
}
const Script& extend_script() {
  static const Script s(kExtendSource);
  return s;
}
const Script& reacquire_script() {
  static const Script s(kReacquireSource);
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

std::string random_token() {
  unsigned char bytes[16];
  std::size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("getrandom");
    }
    have += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * sizeof bytes);
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

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
  const std::optional<Seconds> limit = blocking_timeout ? blocking_timeout
                                                        : options_.blocking_timeout;
  const std::string value = token ? std::move(*token) : random_token();
  const auto sleep = std::chrono::duration_cast<Clock::duration>(options_.sleep);
  std::optional<Clock::time_point> stop;
  if (limit) stop = Clock::now() + std::chrono::duration_cast<Clock::duration>(*limit);
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
  if (!token_) throw LockError("Cannot release an unlocked lock");
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
