// The connection pool: many threads at once, its size limit, and fork safety.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "support/test_http_server.h"

using namespace mosswork::core;
using namespace mosswork::core::http;
using mosswork::testing::TestHttpServer;
using mosswork::testing::TestReply;
using mosswork::testing::TestRequest;

namespace {

Request get(const TestHttpServer& server, const std::string& path) {
  Request r;
  r.url = server.url(path);
  return r;
}

// Runs `threads` threads doing `each` requests; returns how many answered correctly.
int hammer(HttpClient& client, const TestHttpServer& server, int threads, int each) {
  std::atomic<int> ok{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) {
        std::string path = "/";
        path += std::to_string(t);
        path += '/';
        path += std::to_string(i);
        try {
          Response r = client.send(get(server, path));
          if (r.status == 200 && r.body == path) ++ok;
        } catch (const Error&) {
        }
      }
    });
  }
  for (auto& th : pool) th.join();
  return ok.load();
}

int open_descriptors() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++n;
    ::closedir(dir);
  }
  return n;
}

// Client-side sockets of this process connected to the given local port.
int sockets_connected_to(int port) {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
      ++n;
    }
  }
  return n;
}

TestHttpServer::Handler echo_path(std::chrono::milliseconds delay = {}) {
  return [delay](const TestRequest& req) {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    TestReply reply;
    reply.body = req.target;
    return reply;
  };
}

}  // namespace

TEST(HttpPool, ManyThreadsShareAndReusePooledConnections) {
  TestHttpServer server(echo_path());
  HttpClient client;
  EXPECT_EQ(hammer(client, server, 16, 25), 400);
  EXPECT_EQ(server.requests(), 400);
  // Never more connections than requests in flight at once.
  EXPECT_LE(server.connections(), 16);
  HttpClientStats stats = client.stats();
  EXPECT_EQ(stats.idle_connections, stats.pooled_connections);
  EXPECT_LE(stats.pooled_connections, 16u);
}

TEST(HttpPool, MoreThreadsThanThePoolKeepsAtMostItsSize) {
  TestHttpServer server(echo_path(std::chrono::milliseconds(20)));
  HttpClientOptions o;
  o.max_connections = 8;
  HttpClient client(o);
  EXPECT_EQ(hammer(client, server, 24, 5), 120);
  // Extra connections were made under load and closed afterwards.
  EXPECT_GT(server.connections(), 8);
  EXPECT_EQ(client.stats().pooled_connections, 8u);
  for (int i = 0; i < 100 && server.open_connections() > 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(server.open_connections(), 8);
}

TEST(HttpPool, BlockingPoolNeverExceedsItsSize) {
  TestHttpServer server(echo_path(std::chrono::milliseconds(10)));
  HttpClientOptions o;
  o.max_connections = 4;
  o.block_when_full = true;
  HttpClient client(o);
  EXPECT_EQ(hammer(client, server, 20, 5), 100);
  EXPECT_LE(server.connections(), 4);
}

TEST(HttpPool, OverHundredConcurrentRequestsWithTheDefaultPool) {
  TestHttpServer server(echo_path(std::chrono::milliseconds(30)));
  HttpClient client;
  EXPECT_EQ(hammer(client, server, 120, 3), 360);
  EXPECT_EQ(client.stats().pooled_connections, 100u);
  // Pooled connections were reused; the ones made beyond the pool's size were closed again.
  EXPECT_LT(server.connections(), 360);
  for (int i = 0; i < 100 && server.open_connections() > 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(server.open_connections(), 100);
}

TEST(HttpPool, ForkedChildUsesItsOwnConnectionsAndLeavesTheParentsAlone) {
  std::mutex mu;
  std::vector<int> connection_of_request;
  TestHttpServer server([&](const TestRequest& req) {
    std::lock_guard lock(mu);
    connection_of_request.push_back(req.connection);
    TestReply reply;
    reply.body = req.target;
    return reply;
  });
  HttpClient client;
  ASSERT_EQ(client.send(get(server, "/parent-1")).body, "/parent-1");

  ASSERT_EQ(sockets_connected_to(server.port()), 1);

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    try {
      if (client.send(get(server, "/child-1")).body != "/child-1") code = 1;
      // The inherited socket was closed here; only the child's own one is left.
      if (sockets_connected_to(server.port()) != 1) code = 5;
      if (client.send(get(server, "/child-2")).body != "/child-2") code = 2;
      if (client.stats().pooled_connections != 1) code = 3;
    } catch (...) {
      code = 4;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The parent's pooled connection still works and was not touched by the child.
  ASSERT_EQ(client.send(get(server, "/parent-2")).body, "/parent-2");
  std::lock_guard lock(mu);
  ASSERT_EQ(connection_of_request.size(), 4u);
  EXPECT_EQ(connection_of_request[0], 1);
  EXPECT_NE(connection_of_request[1], 1);  // the child opened its own connection...
  EXPECT_EQ(connection_of_request[2], connection_of_request[1]);  // ...and reused it
  EXPECT_EQ(connection_of_request[3], 1);                         // the parent kept its own
  EXPECT_EQ(server.connections(), 2);
}

TEST(HttpPool, StreamOpenAcrossForkBelongsToTheParent) {
  std::string body(2 * 1024 * 1024, 'q');
  for (std::size_t i = 0; i < body.size(); i += 4096)
    body[i] = static_cast<char>('a' + (i / 4096) % 26);
  TestHttpServer server([&](const TestRequest&) {
    TestReply reply;
    reply.body = body;
    return reply;
  });
  HttpClient client;
  StreamingResponse s = client.open(get(server, "/blob"));
  std::string got = s.read(1000);

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    try {
      s.read(10);
      code = 1;  // must not read the parent's connection
    } catch (const ConnectionClosed&) {
    } catch (...) {
      code = 2;
    }
    s.close();  // closes nothing of the parent's
    try {
      if (client.send(get(server, "/child")).body != body) code = 3;
    } catch (...) {
      code = 4;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  got += s.read_all();
  EXPECT_TRUE(got == body);
}

TEST(HttpPool, NoDescriptorOutlivesTheClient) {
  TestHttpServer server([](const TestRequest& req) {
    TestReply reply;
    reply.body = req.target == "/big" ? std::string(4 << 20, 'b') : req.target;
    return reply;
  });
  const int before = open_descriptors();
  {
    HttpClient client;
    EXPECT_EQ(hammer(client, server, 8, 10), 80);
    StreamingResponse half = client.open(get(server, "/big"));
    EXPECT_EQ(half.read(10).size(), 10u);
    StreamingResponse kept = client.open(get(server, "/big"));
    EXPECT_GT(sockets_connected_to(server.port()), 0);
  }
  // The client and its streams are gone, and so are their sockets.
  EXPECT_EQ(sockets_connected_to(server.port()), 0);
  for (int i = 0; i < 100 && server.open_connections() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(HttpPool, AlternatingHostsKeepOneConnectionEach) {
  TestHttpServer a(echo_path());
  TestHttpServer b(echo_path());
  HttpClient client;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(client.send(get(a, "/a")).body, "/a");
    EXPECT_EQ(client.send(get(b, "/b")).body, "/b");
  }
  EXPECT_EQ(a.connections(), 1);
  EXPECT_EQ(b.connections(), 1);

  // At its limit the pool hands the least recently used entry to the other host.
  HttpClientOptions one;
  one.max_connections = 1;
  HttpClient small(one);
  for (int i = 0; i < 3; ++i) {
    small.send(get(a, "/a"));
    small.send(get(b, "/b"));
  }
  EXPECT_EQ(a.connections(), 4);
  EXPECT_EQ(b.connections(), 4);
  EXPECT_EQ(small.stats().pooled_connections, 1u);
}
