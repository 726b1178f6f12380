// The state a connection pool guards with its mutex; shared by the pool and its tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/redis/pool.h"

namespace mosswork::core::redis {

// Everything the pool's mutex guards. A forked child never locks the state of its parent (a
// parent thread may have held the mutex at fork() and will never release it in the child).
struct ConnectionPool::State {
  explicit State(pid_t owner) : pid(owner) {}

  const pid_t pid;  // process this state belongs to
  std::mutex mutex;
  std::vector<std::unique_ptr<Connection>> idle;  // most recently used last
  std::size_t open = 0;                           // idle plus lent out
  std::uint64_t generation = 0;                   // bumped when the pool drops its connections
  std::optional<Address> address;                 // master last connected to (Sentinel pools)
  State* inherited = nullptr;      // the parent's state this one replaced after fork()
  bool inherited_cleaned = false;  // whether `inherited` was consistent and emptied
};

}  // namespace mosswork::core::redis
