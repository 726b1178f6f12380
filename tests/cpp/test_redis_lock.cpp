// The Redis lock: contention between processes, expiry, and who may release or extend it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "core/common/errors.h"
#include "core/redis/client.h"
#include "core/redis/lock.h"
#include "redis_test_support.h"

using namespace redis_test;
using mosswork::core::InvalidArgument;
using mosswork::core::LockError;
using mosswork::core::LockNotOwned;
using r::Lock;
using r::LockOptions;
using std::chrono::milliseconds;

namespace {

LockOptions lock_options(milliseconds timeout, bool blocking = false) {
  LockOptions o;
  o.timeout = timeout;
  o.blocking = blocking;
  o.sleep = r::Seconds(0.02);
  return o;
}

// One byte through a pipe: the simplest hand-over between parent and child.
struct Signal {
  int fds[2];
  Signal() {
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  }
  ~Signal() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void send() { (void)!::write(fds[1], "x", 1); }
  bool wait(int ms) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char c;
    return ::read(fds[0], &c, 1) == 1;
  }
};

}  // namespace

TEST(RedisLock, TokensAreUniqueHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string t = r::random_token();
    EXPECT_EQ(t.size(), 32u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(RedisLock, ContentionBetweenProcesses) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const std::string name = unique_key("plugins_chains_updating");
  Signal child_holds, parent_tried, child_released;

  pid_t pid = fork_child([&] {
    Lock lock(client, name, lock_options(milliseconds(5000)));
    if (!lock.acquire()) return 2;
    child_holds.send();
    if (!parent_tried.wait(10000)) return 3;
    lock.release();
    // Checked before the hand-over: once the parent hears of it, it takes the lock itself.
    const bool still_locked = lock.locked();
    child_released.send();
    return still_locked ? 4 : 0;
  });
  ASSERT_TRUE(child_holds.wait(10000));
  Lock mine(client, name, lock_options(milliseconds(5000)));
  EXPECT_TRUE(mine.locked());
  EXPECT_FALSE(mine.owned());
  EXPECT_FALSE(mine.acquire());  // non-blocking: one attempt
  auto start = Clock::now();
  EXPECT_FALSE(mine.acquire(true, r::Seconds(0.2)));  // blocking, but only 0.2 s
  const double waited = seconds_since(start);
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 1.0);
  // A non-holder cannot release the holder's lock.
  EXPECT_THROW(mine.release(), LockError);
  EXPECT_TRUE(mine.locked());
  parent_tried.send();
  ASSERT_TRUE(child_released.wait(10000));
  EXPECT_TRUE(mine.acquire(true, r::Seconds(2)));
  EXPECT_TRUE(mine.owned());
  EXPECT_EQ(wait_child(pid), 0);
  mine.release();
  EXPECT_FALSE(mine.locked());
}

TEST(RedisLock, BlockingAcquireWaitsForTheHolderToRelease) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const std::string name = unique_key("blocking");
  Lock holder(client, name, lock_options(milliseconds(10000)));
  ASSERT_TRUE(holder.acquire());
  pid_t pid = fork_child([&] {
    // Blocks in another process until the parent lets go.
    Lock waiter(client, name, lock_options(milliseconds(10000), true));
    const auto start = Clock::now();
    if (!waiter.acquire()) return 2;
    if (seconds_since(start) < 0.2) return 3;
    waiter.release();
    return 0;
  });
  std::this_thread::sleep_for(300ms);
  holder.release();
  EXPECT_EQ(wait_child(pid), 0);
}

TEST(RedisLock, BlockingTimeoutPastTheClockRangeWaitsWithoutDeadline) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const std::string name = unique_key("endless_wait");
  Lock holder(client, name, lock_options(milliseconds(300)));  // lapses by itself
  ASSERT_TRUE(holder.acquire());
  Lock waiter(client, name, lock_options(milliseconds(5000)));
  const auto start = Clock::now();
  EXPECT_TRUE(waiter.acquire(true, r::Seconds(1e300)));
  EXPECT_GE(seconds_since(start), 0.2);
  waiter.release();
}

TEST(RedisLock, LockLapsesAfterItsTimeoutAndTheLoserCannotRelease) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const std::string name = unique_key("lapse");
  Lock first(client, name, lock_options(milliseconds(250)));  // fractional seconds: 0.25 s
  Lock second(client, name, lock_options(milliseconds(5000)));
  ASSERT_TRUE(first.acquire());
  const long long pttl = client.command({"PTTL", name}).integer();
  EXPECT_GT(pttl, 0);
  EXPECT_LE(pttl, 250);
  EXPECT_FALSE(second.acquire());
  std::this_thread::sleep_for(400ms);
  EXPECT_FALSE(first.locked());
  EXPECT_TRUE(second.acquire());
  EXPECT_FALSE(first.owned());
  try {
    first.release();
    FAIL() << "the lapsed holder must not release the new holder's lock";
  } catch (const LockNotOwned& e) {
    EXPECT_STREQ(e.what(), "Cannot release a lock that's no longer owned");
  }
  EXPECT_TRUE(second.owned());  // the key kept the second holder's token
  EXPECT_EQ(client.command({"GET", name}).str(), *second.token());
  try {
    first.release();
    FAIL() << "released twice";
  } catch (const LockNotOwned&) {
    FAIL() << "an unlocked lock is a plain LockError";
  } catch (const LockError& e) {
    EXPECT_STREQ(e.what(), "Cannot release a lock that's not owned or is already unlocked.");
  }
  second.release();
}

TEST(RedisLock, ExtendAndReacquireCheckTheToken) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const std::string name = unique_key("extend");
  Lock lock(client, name, lock_options(milliseconds(1000)));
  EXPECT_THROW(lock.extend(milliseconds(1000)), LockError);
  ASSERT_TRUE(lock.acquire());
  lock.extend(milliseconds(5000));
  EXPECT_GT(client.command({"PTTL", name}).integer(), 5000);
  lock.extend(milliseconds(2000), true);
  EXPECT_LE(client.command({"PTTL", name}).integer(), 2000);
  lock.reacquire();
  EXPECT_LE(client.command({"PTTL", name}).integer(), 1000);

  // Another holder's key: neither extend nor reacquire may touch it.
  client.command({"SET", name, "someone-else", "PX", "5000"});
  EXPECT_THROW(lock.extend(milliseconds(1000)), LockNotOwned);
  EXPECT_THROW(lock.reacquire(), LockNotOwned);
  EXPECT_GT(client.command({"PTTL", name}).integer(), 4000);
  EXPECT_THROW(lock.release(), LockNotOwned);
  EXPECT_EQ(client.command({"GET", name}).str(), "someone-else");

  Lock forever(client, unique_key("forever"), LockOptions{});
  ASSERT_TRUE(forever.acquire(false));
  EXPECT_EQ(client.command({"PTTL", forever.name()}).integer(), -1);
  EXPECT_THROW(forever.extend(milliseconds(10)), LockError);
  forever.release();
  client.command({"DEL", name});
  EXPECT_THROW(Lock(client, name, lock_options(milliseconds(0))), InvalidArgument);
}

TEST(RedisLock, ReleaseWorksAfterTheScriptCacheIsFlushed) {
  // A fresh server knows no script: release must fall back from EVALSHA to EVAL.
  PrivateRedis server({});
  ASSERT_TRUE(server.ready());
  r::Client client(plain_options(server.port()));
  Lock lock(client, "scripted", lock_options(milliseconds(5000)));
  ASSERT_TRUE(lock.acquire());
  lock.release();
  EXPECT_FALSE(lock.locked());
  ASSERT_TRUE(lock.acquire());
  client.command({"SCRIPT", "FLUSH"});
  lock.release();
  EXPECT_FALSE(lock.locked());
}
