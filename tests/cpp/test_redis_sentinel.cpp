// Sentinel: discovery, dead and silent sentinels, failover of the master client, replica reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/common/errors.h"
#include "core/redis/client.h"
#include "core/redis/sentinel.h"
#include "redis_test_support.h"

using namespace redis_test;
using mosswork::core::ConnectionClosed;
using mosswork::core::InvalidArgument;
using mosswork::core::ReplyError;
using mosswork::core::Timeout;
using r::Address;
using r::Connection;
using r::ConnectionPool;
using r::Reply;
using r::Sentinel;

namespace {

r::SentinelOptions sentinel_options(std::vector<int> ports, double timeout = 1.0) {
  r::SentinelOptions o;
  for (int p : ports) o.sentinels.push_back({"127.0.0.1", p});
  o.socket_timeout = r::Seconds(timeout);
  return o;
}

Sentinel real_sentinel(double timeout = 1.0) {
  return Sentinel(sentinel_options({26379, 26380, 26381}, timeout));
}

// What the service passes: db 0, user "default", the (empty) password, a 5 s time-out.
r::ClientOptions service_options(std::optional<std::size_t> max_connections = std::nullopt) {
  r::ClientOptions o;
  o.username = "default";
  o.password = "";
  o.db = 0;
  o.socket_timeout = r::Seconds(2);
  o.max_connections = max_connections;
  return o;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto stop = Clock::now() + limit;
  while (Clock::now() < stop) {
    try {
      if (done()) return true;
    } catch (const mosswork::core::Error&) {
    }
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// The port of the server a client's connection landed on.
int port_seen_by(const r::Client& client) {
  Reply reply = client.command({"CONFIG", "GET", "port"});
  return std::stoi(reply.elements().at(1).str());
}

std::string role_of(int port) {
  Connection c(connection_options(port, 1));
  return c.command({"ROLE"}).elements().at(0).str();
}

bool replica_in_sync(int port) {
  Connection c(connection_options(port, 1));
  const std::string info = c.command({"INFO", "replication"}).str();
  return info.find("role:slave") != std::string::npos &&
         info.find("master_link_status:up") != std::string::npos;
}

int master_port_of(int sentinel_port) {
  Connection c(connection_options(sentinel_port, 1));
  Reply reply = c.command({"SENTINEL", "get-master-addr-by-name", kService});
  return std::stoi(reply.elements().at(1).str());
}

bool sentinels_agree_on(int port) {
  for (int s : kSentinelPorts) {
    if (master_port_of(s) != port) return false;
  }
  return true;
}

// The master as the sentinels see it, after waiting for the set to be healthy: every sentinel
// agrees, the other server is a replica in sync, and no failover is running.
int settled_master() {
  int master = 0;
  const bool ok = wait_until(
      [&] {
        master = master_port_of(kSentinelPorts[0]);
        const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
        return sentinels_agree_on(master) && role_of(master) == "master" &&
               replica_in_sync(replica) && !real_sentinel().discover_slaves(kService).empty();
      },
      30s);
  if (!ok) ADD_FAILURE() << "the Sentinel set did not settle";
  return master;
}

// SENTINEL FAILOVER, repeated while the sentinel says it cannot start one yet.
void force_failover() {
  Connection c(connection_options(kSentinelPorts[0], 2));
  const auto stop = Clock::now() + 30s;
  for (;;) {
    try {
      c.command({"SENTINEL", "FAILOVER", kService});
      return;
    } catch (const ReplyError& e) {
      // NOGOODSLAVE until the last demoted master is a healthy replica; INPROG while one runs.
      if (Clock::now() > stop) throw;
    }
    std::this_thread::sleep_for(250ms);
  }
}

}  // namespace

TEST(RedisSentinel, RejectsAnEmptySentinelList) {
  EXPECT_THROW(Sentinel(r::SentinelOptions{}), InvalidArgument);
}

TEST(RedisSentinel, DiscoversMasterAndReplica) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
  Sentinel s = real_sentinel();
  EXPECT_EQ(s.discover_master(kService), (Address{"127.0.0.1", master}));
  EXPECT_EQ(s.discover_slaves(kService), (std::vector<Address>{{"127.0.0.1", replica}}));
  try {
    s.discover_master("nosuch");
    FAIL() << "an unknown service has no master";
  } catch (const ConnectionClosed& e) {
    EXPECT_NE(std::string(e.what()).find("No master found for 'nosuch'"), std::string::npos);
  }
  EXPECT_TRUE(s.discover_slaves("nosuch").empty());
}

TEST(RedisSentinel, DeadAndSilentSentinelsAreSkippedAndTheLiveOneMovesToTheFront) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  FakeServer silent([](const std::vector<std::string>&) { return std::nullopt; });
  const int dead = free_port();
  Sentinel s(sentinel_options({dead, silent.port(), 26380, 26381}, 0.3));

  auto start = Clock::now();
  EXPECT_EQ(s.discover_master(kService).port, master);
  const double first = seconds_since(start);
  EXPECT_GE(first, 0.25);  // it waited for the silent one once
  EXPECT_LT(first, 2.0);
  EXPECT_EQ(s.sentinel_order().front(), (Address{"127.0.0.1", 26380}));

  start = Clock::now();
  EXPECT_EQ(s.discover_master(kService).port, master);
  EXPECT_LT(seconds_since(start), 0.25);  // straight to the one that answered
  // A master client made from it works the same.
  r::Client client = s.master_for(kService, service_options());
  EXPECT_EQ(port_seen_by(client), master);

  Sentinel none(sentinel_options({dead, silent.port()}, 0.3));
  try {
    none.discover_master(kService);
    FAIL() << "no sentinel answers";
  } catch (const ConnectionClosed& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("No master found for 'mymaster'"), std::string::npos) << what;
    EXPECT_NE(what.find("127.0.0.1:" + std::to_string(dead)), std::string::npos) << what;
    EXPECT_NE(what.find("Timeout"), std::string::npos) << what;
  }
  EXPECT_THROW(none.master_for(kService, service_options()).command({"PING"}), ConnectionClosed);
}

TEST(RedisSentinel, MasterReportedDownIsNotUsed) {
  FakeSentinel fake;
  fake.set_master(kMasterPort, "master,s_down");
  Sentinel s(sentinel_options({fake.port()}, 0.5));
  EXPECT_THROW(s.discover_master(kService), ConnectionClosed);
  fake.set_master(kMasterPort, "master,o_down,s_down");
  EXPECT_THROW(s.discover_master(kService), ConnectionClosed);
  fake.set_master(kMasterPort);
  EXPECT_EQ(s.discover_master(kService).port, kMasterPort);

  r::SentinelOptions picky = sentinel_options({fake.port()}, 0.5);
  picky.min_other_sentinels = 3;  // the fake reports two others
  EXPECT_THROW(Sentinel(picky).discover_master(kService), ConnectionClosed);
}

TEST(RedisSentinel, MasterClientFollowsForcedFailovers) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int first = settled_master();
  const int second = first == kMasterPort ? kReplicaPort : kMasterPort;
  Sentinel s = real_sentinel();
  r::Client master = s.master_for(kService, service_options(2));
  const std::string key = unique_key("failover");
  master.command({"SET", key, "1"});
  EXPECT_EQ(port_seen_by(master), first);
  // One connection stays lent out across the failover; it must not leak a slot.
  std::optional<ConnectionPool::Lease> held(master.pool().acquire());

  // 1. Sentinel promotes the replica and, some seconds later, turns the old master into a
  // replica, closing its clients.
  force_failover();
  ASSERT_TRUE(wait_until([&] { return sentinels_agree_on(second); }, 20s));
  ASSERT_TRUE(wait_until([&] { return role_of(first) == "slave"; }, 25s));
  try {
    master.command({"SET", key, "2"});  // may meet the closed socket, or find it at checkout
  } catch (const ConnectionClosed&) {
  }
  master.command({"SET", key, "2"});
  EXPECT_EQ(port_seen_by(master), second);
  EXPECT_EQ(Connection(connection_options(second)).command({"GET", key}).str(), "2");
  held.reset();

  // 2. Back again; this time the old master is demoted while its clients stay connected (as
  // REPLICAOF does): the next write meets READONLY, and the one after reaches the new master.
  ASSERT_TRUE(wait_until([&] { return replica_in_sync(first); }, 25s));
  held.emplace(master.pool().acquire());
  EXPECT_EQ(port_seen_by(master), second);  // an idle connection to the old master is kept
  force_failover();
  ASSERT_TRUE(wait_until([&] { return sentinels_agree_on(first); }, 20s));
  Connection(connection_options(second)).command({"REPLICAOF", "127.0.0.1", std::to_string(first)});
  // Sentinel may itself reconfigure the old master first and close its clients; then the dead
  // idle connection is replaced at checkout and the write goes straight to the new master.
  // Either way the write must never land on the demoted one.
  bool refused = false;
  try {
    master.command({"SET", key, "3"});
  } catch (const ConnectionClosed& e) {
    refused = true;
    EXPECT_STREQ(e.what(), "The previous master is now a slave");
  }
  if (refused) master.command({"SET", key, "3"});
  EXPECT_EQ(port_seen_by(master), first);
  EXPECT_EQ(Connection(connection_options(first)).command({"GET", key}).str(), "3");
  held.reset();

  // The pool still has exactly its two slots.
  {
    ConnectionPool::Lease a = master.pool().acquire();
    ConnectionPool::Lease b = master.pool().acquire();
    EXPECT_THROW(master.pool().acquire(), ConnectionClosed);
    EXPECT_EQ(master.pool().open_connections(), 2u);
  }
  master.command({"DEL", key});
  // Leave the set as it was found: master back on `first`, the replica in sync.
  EXPECT_TRUE(wait_until([&] { return replica_in_sync(second); }, 25s));
}

TEST(RedisSentinel, ReadOnlyReplyMakesTheMasterPoolRediscover) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
  FakeSentinel fake;
  fake.set_master(replica);  // wrong: points at the read-only replica
  Sentinel s(sentinel_options({fake.port()}));
  r::Client client = s.master_for(kService, service_options());
  const std::string key = unique_key("ro");
  EXPECT_EQ(client.command({"ECHO", "reads work"}).str(), "reads work");
  fake.set_master(master);
  try {
    client.command({"SET", key, "x"});
    FAIL() << "the replica refuses writes";
  } catch (const ConnectionClosed& e) {
    EXPECT_STREQ(e.what(), "The previous master is now a slave");
  }
  EXPECT_EQ(client.pool().open_connections(), 0u);
  EXPECT_EQ(client.command({"SET", key, "x"}), Reply::status("OK"));
  EXPECT_EQ(port_seen_by(client), master);

  // In a transaction the refusal comes while queuing; same outcome.
  fake.set_master(replica);
  client.pool().reset();
  r::CommandBatch batch;
  const std::string counter = key + "n";
  batch.add({"INCR", counter}).add({"EXPIRE", counter, "60"});
  EXPECT_THROW(client.pipeline(batch, true), ConnectionClosed);
  fake.set_master(master);
  EXPECT_EQ(client.pipeline(batch, true)[0], Reply::integer(1));
  client.command({"DEL", key, key + "n"});
}

TEST(RedisSentinel, ConnectionErrorMakesTheMasterPoolRediscover) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  FakeServer silent([](const std::vector<std::string>&) { return std::nullopt; });
  FakeSentinel fake;
  fake.set_master(silent.port());
  Sentinel s(sentinel_options({fake.port()}));
  r::ClientOptions o = service_options();
  o.username.clear();  // the silent server would not answer AUTH either
  o.socket_timeout = r::Seconds(0.2);
  r::Client client = s.master_for(kService, o);
  EXPECT_THROW(client.command({"PING"}), Timeout);
  fake.set_master(master);
  EXPECT_EQ(client.command({"PING"}), Reply::status("PONG"));
  EXPECT_EQ(port_seen_by(client), master);
  // A failed connect to a dead master is a connection error too.
  fake.set_master(free_port());
  client.pool().reset();
  EXPECT_THROW(client.command({"PING"}), ConnectionClosed);
  EXPECT_EQ(client.pool().open_connections(), 0u);
}

TEST(RedisSentinel, ReplicaClientReadsFromTheReplica) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
  Sentinel s = real_sentinel();
  r::Client writer = s.master_for(kService, service_options());
  r::Client reader = s.slave_for(kService, service_options());
  const std::string key = unique_key("replicated");
  writer.command({"SET", key, "copy me"});
  writer.command({"WAIT", "1", "2000"});
  EXPECT_EQ(reader.command({"GET", key}).str(), "copy me");
  EXPECT_EQ(port_seen_by(reader), replica);
  EXPECT_EQ(reader.command({"ROLE"}).elements()[0].str(), "slave");
  EXPECT_THROW(reader.command({"SET", key, "no"}), ReplyError);  // READONLY stays a reply error
  writer.command({"DEL", key});
}

TEST(RedisSentinel, ReplicaClientFallsBackToTheMasterWhenTheReplicaIsDown) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
  Sentinel s = real_sentinel();
  // A paused replica stops answering the sentinels, which flag it s_down within a second or two.
  Connection(connection_options(replica)).command({"CLIENT", "PAUSE", "3500", "ALL"});
  ASSERT_TRUE(wait_until([&] { return s.discover_slaves(kService).empty(); }, 3500ms));
  r::Client reader = s.slave_for(kService, service_options());
  EXPECT_EQ(port_seen_by(reader), master);
  EXPECT_EQ(reader.command({"ROLE"}).elements()[0].str(), "master");
  EXPECT_TRUE(wait_until([&] { return !s.discover_slaves(kService).empty(); }, 10s));
}

TEST(RedisSentinel, ReplicaChoiceSkipsDownAndUnreachableReplicas) {
  SentinelSetLock serial;
  REQUIRE_SENTINEL_SET();
  const int master = settled_master();
  const int replica = master == kMasterPort ? kReplicaPort : kMasterPort;
  FakeSentinel fake;
  fake.set_master(master);
  const int refused = free_port();
  Sentinel s(sentinel_options({fake.port()}));

  // Listed as up but refusing connections, and up but flagged down/disconnected.
  fake.set_replicas({{refused}, {replica, "slave,s_down"}, {replica, "slave,disconnected"}});
  EXPECT_EQ(s.discover_slaves(kService), (std::vector<Address>{{"127.0.0.1", refused}}));
  r::Client reader = s.slave_for(kService, service_options());
  EXPECT_EQ(port_seen_by(reader), master);

  fake.set_replicas({{refused}, {replica}});
  reader.pool().reset();
  EXPECT_EQ(port_seen_by(reader), replica);

  // Two usable replicas: new connections take them in turn.
  fake.set_replicas({{replica}, {master}});
  reader.pool().reset();
  ConnectionPool::Lease a = reader.pool().acquire();
  ConnectionPool::Lease b = reader.pool().acquire();
  EXPECT_NE(a->port(), b->port());

  fake.set_master(refused);
  fake.set_replicas({});
  r::Client nowhere = s.slave_for(kService, service_options());
  try {
    nowhere.command({"PING"});
    FAIL() << "neither replica nor master reachable";
  } catch (const ConnectionClosed& e) {
    EXPECT_STREQ(e.what(), "No slave found for 'mymaster'");
  }
}
