// A named lock shared by every process that uses the same Redis server: SET NX PX with a
// random token, released and extended by Lua scripts that check the token first.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/redis/client.h"

namespace mosswork::core::redis {

struct LockOptions {
  std::optional<std::chrono::milliseconds> timeout;  // lifetime of the key; unset: never lapses
  Seconds sleep{0.1};                                // pause between attempts of a blocking acquire
  bool blocking = true;                     // what acquire() does when the caller does not say
  std::optional<Seconds> blocking_timeout;  // give up a blocking acquire after this; unset: never
};

// The holder's token lives in the object: one thread at a time may use a Lock object (a binding
// that wants per-thread ownership keeps a token per thread and passes it to acquire()).
// Errors: LockError "Cannot release a lock that's not owned or is already unlocked." and friends;
// LockNotOwned when the key no longer holds this holder's token; Redis errors as the client throws
// them.
class Lock {
 public:
  Lock(Client client, std::string name, LockOptions options = {});

  // SET name token NX PX timeout, repeated every `sleep` while blocking, until acquired or
  // blocking_timeout has passed. Arguments left unset take the lock's defaults. A token given
  // here is used instead of a random one. Returns whether the lock was acquired.
  bool acquire(std::optional<bool> blocking = std::nullopt,
               std::optional<Seconds> blocking_timeout = std::nullopt,
               std::optional<std::string> token = std::nullopt);
  // Deletes the key if it still holds this holder's token. Throws LockError when this object
  // holds no token, LockNotOwned when the key was lost; the object is unlocked afterwards.
  void release();
  // Whether the key exists, held by anyone.
  bool locked() const;
  // Whether the key holds this object's token.
  bool owned() const;
  // Adds additional_time to the key's remaining lifetime, or sets it to that with replace_ttl.
  void extend(std::chrono::milliseconds additional_time, bool replace_ttl = false);
  // Resets the key's lifetime to the lock's timeout.
  void reacquire();

  const std::string& name() const noexcept { return name_; }
  const std::optional<std::string>& token() const noexcept { return token_; }
  // Takes over a token held elsewhere (a caller that keeps one token per thread).
  void set_token(std::optional<std::string> token) { token_ = std::move(token); }
  const LockOptions& options() const noexcept { return options_; }

 private:
  bool try_acquire(const std::string& token);

  Client client_;
  std::string name_;
  LockOptions options_;
  std::optional<std::string> token_;
};

// 32 hexadecimal digits from the kernel's random source: unique across threads and forks.
std::string random_token();

}  // namespace mosswork::core::redis
