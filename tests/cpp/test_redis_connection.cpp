// Redis replies, binary values, pipelines and transactions, failures of the peer, and AUTH.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/errors.h"
#include "core/redis/client.h"
#include "core/redis/connection.h"
#include "core/redis/reply.h"
#include "redis_test_support.h"

using namespace redis_test;
using mosswork::core::ConnectionClosed;
using mosswork::core::InvalidArgument;
using mosswork::core::ProtocolError;
using mosswork::core::ReplyError;
using mosswork::core::Timeout;
using mosswork::core::TypeMismatch;
using r::CommandBatch;
using r::Connection;
using r::Reply;

// ---- reply model -------------------------------------------------------------------------------

TEST(RedisReply, ErrorCodeIsTheLeadingUpperCaseWord) {
  EXPECT_EQ(r::error_code("READONLY You can't write against a read only replica."), "READONLY");
  EXPECT_EQ(r::error_code("NOSCRIPT No matching script. Please use EVAL."), "NOSCRIPT");
  EXPECT_EQ(r::error_code("ERR unknown command 'FOO'"), "ERR");
  EXPECT_EQ(r::error_code("EXECABORT"), "EXECABORT");
  EXPECT_EQ(r::error_code("Error lower case"), "");
  EXPECT_EQ(r::error_code(""), "");
  EXPECT_TRUE(
      r::has_error_code(ReplyError("WRONGPASS invalid username-password pair"), "WRONGPASS"));
  EXPECT_FALSE(r::has_error_code(ReplyError("WRONGPASSWORD x"), "WRONGPASS"));
}

TEST(RedisReply, AccessorsRefuseTheWrongKind) {
  EXPECT_THROW(Reply::bulk("1").integer(), TypeMismatch);
  EXPECT_THROW(Reply::integer(1).str(), TypeMismatch);
  EXPECT_THROW(Reply().elements(), TypeMismatch);
  EXPECT_THROW(Reply::error("ERR x").value(), ReplyError);
  EXPECT_NE(Reply::bulk("OK"), Reply::status("OK"));  // the kinds stay distinct
}

TEST(RedisConnection, EachReplyKindArrivesAsSent) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string k = unique_key("kinds"), h = unique_key("hash");

  Reply set = c.command({"SET", k, "OK"});
  EXPECT_TRUE(set.is_status());
  EXPECT_EQ(set.str(), "OK");
  Reply get = c.command({"GET", k});
  EXPECT_TRUE(get.is_bulk());  // the same two letters, but bulk
  EXPECT_EQ(get.str(), "OK");
  EXPECT_TRUE(c.command({"GET", unique_key("missing")}).is_nil());
  EXPECT_EQ(c.command({"DEL", k}).integer(), 1);
  EXPECT_EQ(c.command({"INCRBY", k, "-7"}).integer(), -7);

  c.command({"HSET", h, "f1", "v1", "f2", ""});
  Reply all = c.command({"HGETALL", h});
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(all.elements().size(), 4u);
  EXPECT_EQ(all.elements()[3], Reply::bulk(""));  // an empty bulk is not nil
  Reply nested = c.command({"HSCAN", h, "0", "MATCH", "f1"});
  ASSERT_EQ(nested.elements().size(), 2u);
  EXPECT_EQ(nested.elements()[0].str(), "0");
  EXPECT_EQ(nested.elements()[1].elements(),
            (std::vector<Reply>{Reply::bulk("f1"), Reply::bulk("v1")}));
  EXPECT_TRUE(c.command({"LRANGE", unique_key("nolist"), "0", "-1"}).elements().empty());
  c.command({"DEL", k, h});
}

TEST(RedisConnection, ErrorReplyThrowsAndTheConnectionStaysInStep) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string k = unique_key("set");
  c.command({"SADD", k, "a"});
  try {
    c.command({"INCR", k});
    FAIL() << "INCR on a set must fail";
  } catch (const ReplyError& e) {
    EXPECT_TRUE(r::has_error_code(e, "WRONGTYPE")) << e.what();
  }
  try {
    c.command({"EVALSHA", "0123456789012345678901234567890123456789", "0"});
    FAIL() << "unknown script must fail";
  } catch (const ReplyError& e) {
    EXPECT_TRUE(r::has_error_code(e, "NOSCRIPT")) << e.what();
  }
  EXPECT_FALSE(c.broken());
  EXPECT_EQ(c.command({"SCARD", k}).integer(), 1);
  EXPECT_EQ(c.command({"ECHO", "after"}).str(), "after");
  c.command({"DEL", k});
  EXPECT_THROW(c.command(std::span<const std::string_view>{}), InvalidArgument);
}

TEST(RedisConnection, ValuesAndKeysAreBinarySafe) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string nul_value("a\0b\r\n$3\r\n\xff\xfe", 12);
  const std::string key = unique_key(std::string("k\0\n\xff", 4));
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) & 0xFF);

  c.command({"SET", key, nul_value});
  EXPECT_EQ(c.command({"GET", key}).str(), nul_value);
  EXPECT_EQ(c.command({"STRLEN", key}).integer(), 12);
  c.command({"SET", key, big});
  EXPECT_EQ(c.command({"GET", key}).str(), big);
  c.command({"SET", key, ""});
  Reply empty = c.command({"GET", key});
  EXPECT_TRUE(empty.is_bulk());
  EXPECT_EQ(empty.str(), "");
  // Field names too: the service stores JSON under caller-given fields.
  c.command({"HSET", key + "h", nul_value, "\xe4\xb8\xad"});
  EXPECT_EQ(c.command({"HGET", key + "h", nul_value}).str(), "\xe4\xb8\xad");
  c.command({"DEL", key, key + "h"});
}

// ---- pipelines and transactions -----------------------------------------------------------------

TEST(RedisPipeline, PlainPipelineKeepsOrderAndErrorsInPlace) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string k = unique_key("p"), s = unique_key("s");
  c.command({"SADD", s, "x"});
  CommandBatch batch;
  batch.add({"SET", k, "1"}).add({"INCR", s}).add({"INCR", k}).add({"GET", k});
  std::vector<Reply> out = c.pipeline(batch, false, false);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], Reply::status("OK"));
  EXPECT_TRUE(out[1].is_error());
  EXPECT_EQ(r::error_code(out[1].str()), "WRONGTYPE");
  EXPECT_EQ(out[2], Reply::integer(2));  // commands after the error still ran
  EXPECT_EQ(out[3], Reply::bulk("2"));

  try {
    c.pipeline(batch, false, true);
    FAIL() << "raise_on_error must throw";
  } catch (const ReplyError& e) {
    EXPECT_EQ(r::error_code(e.what()), "WRONGTYPE");
  }
  EXPECT_EQ(c.command({"GET", k}).str(), "2");  // SET 1 and INCR ran again: every reply was read
  EXPECT_TRUE(c.pipeline(CommandBatch{}, true).empty());
  c.command({"DEL", k, s});
}

TEST(RedisPipeline, TransactionReturnsExecResults) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string key = unique_key("tasks"), map = key + ":mappings";
  // The shape of the task accounting increment.
  CommandBatch inc;
  inc.add({"SADD", key, "t1"})
      .add({"HSET", map, "t1", "doc-a"})
      .add({"EXPIRE", key, "3600"})
      .add({"EXPIRE", map, "3600"})
      .add({"SCARD", key});
  std::vector<Reply> out = c.pipeline(inc, true);
  EXPECT_EQ(out, (std::vector<Reply>{Reply::integer(1), Reply::integer(1), Reply::integer(1),
                                     Reply::integer(1), Reply::integer(1)}));
  out = c.pipeline(inc, true);
  EXPECT_EQ(out[0], Reply::integer(0));
  EXPECT_EQ(out[4], Reply::integer(1));
  EXPECT_EQ(c.command({"HGET", map, "t1"}).str(), "doc-a");
  EXPECT_GT(c.command({"TTL", map}).integer(), 3500);

  // INCR then EXPIRE with ttl 0: the counter is gone after the same transaction.
  const std::string counter = unique_key("retry_count");
  CommandBatch retry;
  retry.add({"INCR", counter}).add({"EXPIRE", counter, "0"});
  out = c.pipeline(retry, true);
  EXPECT_EQ(out[0], Reply::integer(1));
  EXPECT_EQ(c.command({"EXISTS", counter}).integer(), 0);
  c.command({"DEL", key, map});
}

TEST(RedisPipeline, RuntimeErrorInsideExecLeavesTheOtherCommandsApplied) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string s = unique_key("s"), k = unique_key("k");
  c.command({"SADD", s, "x"});
  CommandBatch batch;
  batch.add({"SET", k, "v"}).add({"INCR", s}).add({"APPEND", k, "w"});
  std::vector<Reply> out = c.pipeline(batch, true, false);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], Reply::status("OK"));
  EXPECT_TRUE(out[1].is_error());
  EXPECT_EQ(out[2], Reply::integer(2));
  EXPECT_EQ(c.command({"GET", k}).str(), "vw");

  c.command({"SET", k, "v"});
  try {
    c.pipeline(batch, true, true);
    FAIL() << "the error inside EXEC must be raised";
  } catch (const ReplyError& e) {
    EXPECT_EQ(r::error_code(e.what()), "WRONGTYPE");
  }
  EXPECT_EQ(c.command({"GET", k}).str(), "vw");  // applied all the same
  c.command({"DEL", s, k});
}

TEST(RedisPipeline, QueueingErrorAbortsTheWholeTransaction) {
  REQUIRE_REDIS(kPlainPort);
  Connection c(connection_options(kPlainPort));
  const std::string k = unique_key("k");
  c.command({"SET", k, "before"});
  CommandBatch batch;
  batch.add({"SET", k, "after"}).add({"NOSUCHCOMMAND", k}).add({"INCR", batch.keep(k + "n")});
  try {
    c.pipeline(batch, true);
    FAIL() << "EXECABORT must surface";
  } catch (const ReplyError& e) {
    // The cause, not the bare EXECABORT.
    EXPECT_NE(std::string(e.what()).find("unknown command"), std::string::npos) << e.what();
  }
  EXPECT_EQ(c.command({"GET", k}).str(), "before");
  EXPECT_EQ(c.command({"EXISTS", k + "n"}).integer(), 0);

  CommandBatch arity;
  arity.add({"SET", k, "after"}).add({"GET"});
  try {
    c.pipeline(arity, true);
    FAIL() << "a wrong arity must abort";
  } catch (const ReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("wrong number of arguments"), std::string::npos);
  }
  EXPECT_EQ(c.command({"GET", k}).str(), "before");
  EXPECT_FALSE(c.broken());
  // Still in step: a transaction right after works.
  CommandBatch ok;
  ok.add({"SET", k, "later"}).add({"GET", k});
  EXPECT_EQ(c.pipeline(ok, true)[1].str(), "later");
  c.command({"DEL", k});
}

// ---- misbehaving peers -------------------------------------------------------------------------

TEST(RedisFailures, RefusedConnectIsConnectionClosed) {
  const int port = free_port();
  Connection c(connection_options(port, 1));
  try {
    c.command({"PING"});
    FAIL() << "nothing listens there";
  } catch (const ConnectionClosed& e) {
    EXPECT_NE(std::string(e.what()).find("connecting to 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(c.connected());
}

TEST(RedisFailures, SilentServerTimesOutAndTheConnectionIsNotReused) {
  FakeServer silent([](const std::vector<std::string>&) { return std::nullopt; });
  Connection c(connection_options(silent.port(), 0.2));
  auto start = Clock::now();
  EXPECT_THROW(c.command({"GET", "x"}), Timeout);
  const double took = seconds_since(start);
  EXPECT_GE(took, 0.15);
  EXPECT_LT(took, 2.0);
  EXPECT_TRUE(c.broken());
  EXPECT_FALSE(c.connected());

  // Through a client: each failed exchange costs its connection, none goes back to the pool.
  r::ClientOptions o = plain_options(silent.port());
  o.socket_timeout = r::Seconds(0.2);
  r::Client client(o);
  EXPECT_THROW(client.command({"PING"}), Timeout);
  EXPECT_THROW(client.command({"PING"}), Timeout);
  EXPECT_EQ(silent.accepted(), 3);
  EXPECT_EQ(client.pool().open_connections(), 0u);
  EXPECT_EQ(client.pool().idle_connections(), 0u);
}

TEST(RedisFailures, ServerClosingMidReplyIsConnectionClosed) {
  FakeServer rude([](const std::vector<std::string>& args) -> std::optional<FakeAction> {
    if (!args.empty() && args[0] == "PING") return FakeAction{"+PONG\r\n"};
    return FakeAction{"$10\r\nabc", true};  // promises ten bytes, sends three, hangs up
  });
  r::Client client(plain_options(rude.port()));
  EXPECT_EQ(client.command({"PING"}), Reply::status("PONG"));
  EXPECT_THROW(client.command({"GET", "x"}), ConnectionClosed);
  EXPECT_EQ(client.pool().open_connections(), 0u);
  EXPECT_EQ(client.command({"PING"}), Reply::status("PONG"));
  EXPECT_EQ(rude.accepted(), 2);

  // Inside a pipeline the same: nothing half-read is kept.
  CommandBatch batch;
  batch.add({"PING"}).add({"GET", "x"}).add({"PING"});
  EXPECT_THROW(client.pipeline(batch, false), ConnectionClosed);
  EXPECT_EQ(client.pool().open_connections(), 0u);
}

TEST(RedisFailures, GarbageIsAProtocolError) {
  FakeServer garbage([](const std::vector<std::string>&) {
    return std::optional<FakeAction>(FakeAction{"?what\r\n"});
  });
  Connection c(connection_options(garbage.port()));
  EXPECT_THROW(c.command({"PING"}), ProtocolError);
  EXPECT_TRUE(c.broken());
}

TEST(RedisFailures, IdleConnectionKilledByTheServerIsReplacedBeforeUse) {
  REQUIRE_REDIS(kPlainPort);
  r::Client client(plain_options());
  const long long id = client.command({"CLIENT", "ID"}).integer();
  Connection admin(connection_options(kPlainPort));
  admin.command({"CLIENT", "KILL", "ID", std::to_string(id)});
  // The pool notices the closed socket at checkout and opens a new one.
  std::this_thread::sleep_for(20ms);
  const long long next = client.command({"CLIENT", "ID"}).integer();
  EXPECT_NE(next, id);
  EXPECT_EQ(client.pool().open_connections(), 1u);
}

// ---- authentication and database selection ----------------------------------------------------

TEST(RedisAuth, PasswordUserAndDatabase) {
  PrivateRedis server({"--requirepass", "s3cret"});
  ASSERT_TRUE(server.ready()) << "redis-server did not start";
  r::ConnectionOptions o = connection_options(server.port());

  Connection anonymous(o);
  try {
    anonymous.command({"GET", "x"});
    FAIL() << "no AUTH must be refused";
  } catch (const ReplyError& e) {
    EXPECT_EQ(r::error_code(e.what()), "NOAUTH");
  }

  o.password = "wrong";
  Connection wrong(o);
  try {
    wrong.command({"PING"});
    FAIL() << "a wrong password must be refused";
  } catch (const ReplyError& e) {
    EXPECT_EQ(r::error_code(e.what()), "WRONGPASS");
  }
  EXPECT_TRUE(wrong.broken());
  EXPECT_FALSE(wrong.connected());

  o.password = "s3cret";
  Connection password_only(o);  // AUTH <password>
  EXPECT_EQ(password_only.command({"ACL", "WHOAMI"}).str(), "default");
  password_only.command({"ACL", "SETUSER", "svc-user@kb", "on", ">p@ss w:rd", "~*", "&*", "+@all"});

  r::ConnectionOptions u = connection_options(server.port());
  u.username = "svc-user@kb";
  u.password = "p@ss w:rd";
  u.db = 3;
  r::Client client([&] {
    r::ClientOptions co = plain_options(server.port());
    co.username = u.username;
    co.password = u.password;
    co.db = 3;
    return co;
  }());
  EXPECT_EQ(client.command({"ACL", "WHOAMI"}).str(), "svc-user@kb");
  client.command({"SET", "in-db-3", "yes"});
  EXPECT_TRUE(password_only.command({"GET", "in-db-3"}).is_nil());  // db 0
  password_only.command({"SELECT", "3"});
  EXPECT_EQ(password_only.command({"GET", "in-db-3"}).str(), "yes");

  u.db = 99;  // beyond the server's 16 databases: the connection must not be used
  Connection bad_db(u);
  EXPECT_THROW(bad_db.command({"PING"}), ReplyError);
  EXPECT_FALSE(bad_db.connected());
}

TEST(RedisAuth, DefaultUserWithEmptyPasswordOnAnOpenServer) {
  REQUIRE_REDIS(kPlainPort);
  // What the master/replica clients send: AUTH default "" against a server without a password.
  r::ConnectionOptions o = connection_options(kPlainPort);
  o.username = "default";
  Connection c(o);
  EXPECT_EQ(c.command({"ACL", "WHOAMI"}).str(), "default");
}
