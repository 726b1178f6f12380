// The connection pool: its limit, threads sharing it, and fork() with connections in use.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common/errors.h"
#include "core/redis/client.h"
#include "core/redis/pool.h"
#include "core/redis/pool_state.h"
#include "redis_test_support.h"

namespace mosswork::core::redis {
// Reaches the pool's mutex, to hold it across fork() the way an unlucky thread would.
struct PoolTestAccess {
  static std::mutex& mutex(ConnectionPool& pool) { return pool.state()->mutex; }
};
}  // namespace mosswork::core::redis

using namespace redis_test;
using mosswork::core::ConnectionClosed;
using mosswork::core::InvalidArgument;
using r::CommandBatch;
using r::ConnectionPool;
using r::Reply;

namespace {

// A payload that names its sender and has a random length, so a reply that belongs to another
// request cannot pass for this one.
std::string payload(const std::string& who, int i, std::mt19937& rng) {
  std::string s = who + "/" + std::to_string(i) + "/";
  s.append(rng() % 3000, static_cast<char>('a' + rng() % 26));
  return s;
}

// Runs ECHOs and small transactions; returns the number of replies that did not match.
int exchange(const r::Client& client, const std::string& who, int rounds, unsigned seed) {
  std::mt19937 rng(seed);
  int wrong = 0;
  const std::string key = unique_key(who);
  for (int i = 0; i < rounds; ++i) {
    const std::string p = payload(who, i, rng);
    if (i % 5 == 4) {
      CommandBatch batch;
      const std::string len = std::to_string(p.size());
      batch.add({"SET", key, p}).add({"GET", key}).add({"STRLEN", key}).add({"ECHO", len});
      std::vector<Reply> out = client.pipeline(batch, true);
      if (out.size() != 4 || out[1] != Reply::bulk(p) ||
          out[2] != Reply::integer(static_cast<long long>(p.size())) ||
          out[3] != Reply::bulk(len)) {
        ++wrong;
      }
    } else if (client.command({"ECHO", p}) != Reply::bulk(p)) {
      ++wrong;
    }
  }
  client.command({"DEL", key});
  return wrong;
}

}  // namespace

TEST(RedisPool, RejectsAZeroLimit) {
  r::ClientOptions o = plain_options();
  o.max_connections = 0;
  EXPECT_THROW(r::Client{o}, InvalidArgument);
}

TEST(RedisPool, ExhaustedPoolFailsAtOnceAndRecovers) {
  REQUIRE_REDIS(kPlainPort);
  r::ClientOptions o = plain_options();
  o.max_connections = 2;
  r::Client client(o);
  ConnectionPool& pool = client.pool();
  {
    ConnectionPool::Lease a = pool.acquire();
    ConnectionPool::Lease b = pool.acquire();
    EXPECT_EQ(pool.open_connections(), 2u);
    const auto start = Clock::now();
    try {
      client.command({"PING"});
      FAIL() << "a third connection must be refused";
    } catch (const ConnectionClosed& e) {
      EXPECT_STREQ(e.what(), "Too many connections");
    }
    EXPECT_LT(seconds_since(start), 0.1);  // at once, no waiting
    EXPECT_THROW(pool.acquire(), ConnectionClosed);
    EXPECT_EQ(a->command({"ECHO", "a"}).str(), "a");  // the lent ones still work
  }
  EXPECT_EQ(pool.idle_connections(), 2u);
  EXPECT_EQ(client.command({"ECHO", "again"}).str(), "again");
  {
    ConnectionPool::Lease a = pool.acquire();
    a.discard();  // a broken connection frees its slot
  }
  EXPECT_EQ(pool.open_connections(), 1u);
  ConnectionPool::Lease a = pool.acquire();
  ConnectionPool::Lease b = pool.acquire();
  EXPECT_THROW(pool.acquire(), ConnectionClosed);
}

TEST(RedisPool, ResetDropsIdleConnectionsAndThoseLentOutWhenTheyComeBack) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  ConnectionPool& pool = client.pool();
  std::optional<ConnectionPool::Lease> lent(pool.acquire());
  const long long lent_id = (*lent)->command({"CLIENT", "ID"}).integer();
  client.command({"PING"});  // a second connection, idle now
  EXPECT_EQ(pool.open_connections(), 2u);
  EXPECT_EQ(pool.idle_connections(), 1u);
  pool.reset();
  EXPECT_EQ(pool.idle_connections(), 0u);
  EXPECT_EQ(pool.open_connections(), 1u);
  EXPECT_EQ((*lent)->command({"ECHO", "still usable"}).str(), "still usable");
  lent.reset();  // from before the reset: closed, not kept
  EXPECT_EQ(pool.open_connections(), 0u);
  EXPECT_NE(client.command({"CLIENT", "ID"}).integer(), lent_id);
}

TEST(RedisPool, FailedConnectsGiveTheirSlotsBack) {
  r::ClientOptions o = plain_options(free_port());
  o.max_connections = 1;
  r::Client client(o);
  for (int i = 0; i < 3; ++i) {
    try {
      client.command({"PING"});
      FAIL() << "nothing listens there";
    } catch (const ConnectionClosed& e) {
      EXPECT_NE(std::string(e.what()).find("connecting to"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(client.pool().open_connections(), 0u);
}

TEST(RedisPool, ManyThreadsEachGetTheirOwnReplies) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  constexpr int kThreads = 8, kRounds = 300;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        wrong += exchange(client, "thread" + std::to_string(t), kRounds, 1000 + t);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        ++failed;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_GE(client.pool().open_connections(), 1u);
  EXPECT_LE(client.pool().open_connections(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(client.pool().open_connections(), client.pool().idle_connections());
}

TEST(RedisPool, LimitedPoolUnderThreadsNeverExceedsItsLimit) {
  REQUIRE_REDIS(kPlainPort);
  r::ClientOptions o = plain_options();
  o.max_connections = 2;
  r::Client client(o);
  std::atomic<int> ok{0}, refused{0}, wrong{0}, other{0};
  std::atomic<std::size_t> most_open{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        const std::string p = "t" + std::to_string(t) + "-" + std::to_string(i);
        try {
          if (client.command({"ECHO", p}) == Reply::bulk(p)) {
            ++ok;
          } else {
            ++wrong;
          }
        } catch (const ConnectionClosed& e) {
          std::string_view(e.what()) == "Too many connections" ? ++refused : ++other;
        }
        std::size_t now = client.pool().open_connections();
        std::size_t seen = most_open.load();
        while (now > seen && !most_open.compare_exchange_weak(seen, now)) {
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(ok.load() + refused.load(), 900);
  EXPECT_GT(ok.load(), 0);
  EXPECT_LE(most_open.load(), 2u);
  EXPECT_EQ(client.command({"ECHO", "after"}).str(), "after");
}

TEST(RedisPool, ForkedChildrenAndTheParentEachGetTheirOwnReplies) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  // The parent has idle connections when it forks, as a Celery parent would.
  std::set<long long> parent_ids;
  {
    ConnectionPool::Lease a = client.pool().acquire();
    ConnectionPool::Lease b = client.pool().acquire();
    parent_ids.insert(a->command({"CLIENT", "ID"}).integer());
    parent_ids.insert(b->command({"CLIENT", "ID"}).integer());
  }
  ASSERT_EQ(client.pool().idle_connections(), 2u);

  std::vector<pid_t> children;
  for (int c = 0; c < 4; ++c) {
    children.push_back(fork_child([&, c] {
      // Never on a parent socket.
      const long long id = client.command({"CLIENT", "ID"}).integer();
      if (parent_ids.count(id)) return 4;
      std::atomic<int> wrong{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
          const std::string who = "child" + std::to_string(c) + "." + std::to_string(t);
          wrong += exchange(client, who, 150, 77 * c + t);
        });
      }
      for (auto& th : threads) th.join();
      if (wrong.load() != 0) return 2;
      if (client.pool().open_connections() > 2) return 5;
      return 0;
    }));
  }
  // Meanwhile the parent keeps using its own sockets.
  EXPECT_EQ(exchange(client, "parent", 200, 5), 0);
  for (pid_t pid : children) EXPECT_EQ(wait_child(pid), 0) << "child " << pid;
  // The children closed their inherited copies; the parent's sockets are untouched.
  std::set<long long> after;
  {
    ConnectionPool::Lease a = client.pool().acquire();
    ConnectionPool::Lease b = client.pool().acquire();
    after.insert(a->command({"CLIENT", "ID"}).integer());
    after.insert(b->command({"CLIENT", "ID"}).integer());
  }
  EXPECT_EQ(after, parent_ids);
}

TEST(RedisPool, ChildDoesNotDeadlockOnAPoolMutexHeldAtFork) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  client.command({"PING"});  // one idle connection, made before the fork
  std::mutex& pool_mutex = r::PoolTestAccess::mutex(client.pool());

  std::atomic<bool> held{false}, forked{false};
  std::thread holder([&] {
    std::lock_guard lock(pool_mutex);
    held = true;
    while (!forked) std::this_thread::sleep_for(1ms);
  });
  while (!held) std::this_thread::sleep_for(1ms);
  pid_t pid = fork_child([&] {
    // The holder thread does not exist here; its lock never will be released.
    if (client.command({"ECHO", "child"}) != Reply::bulk("child")) return 2;
    CommandBatch batch;
    batch.add({"ECHO", "x"}).add({"ECHO", "y"});
    if (client.pipeline(batch, true)[1] != Reply::bulk("y")) return 3;
    return client.pool().open_connections() == 1 ? 0 : 4;
  });
  forked = true;
  holder.join();
  EXPECT_EQ(wait_child(pid, 15s), 0);
  EXPECT_EQ(client.command({"ECHO", "parent"}).str(), "parent");
}

TEST(RedisPool, ConnectionLentAcrossForkIsNotUsedByTheChild) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  ConnectionPool::Lease lease = client.pool().acquire();
  const long long parent_id = lease->command({"CLIENT", "ID"}).integer();
  pid_t pid = fork_child([&] {
    // The forking thread still holds the lease in the child: using it must open a new socket.
    const long long id = lease->command({"CLIENT", "ID"}).integer();
    return id != parent_id ? 0 : 1;
  });
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(lease->command({"CLIENT", "ID"}).integer(), parent_id);
  EXPECT_EQ(lease->command({"ECHO", "still mine"}).str(), "still mine");
}
