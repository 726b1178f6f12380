// Helpers of the Redis tests: real-server checks, scripted fake servers, child processes, a
// private redis-server, and the lock that serialises tests using the shared Sentinel set.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/redis/client.h"
#include "core/redis/connection.h"

namespace redis_test {

using namespace std::chrono_literals;
namespace r = mosswork::core::redis;
using Clock = std::chrono::steady_clock;

constexpr int kPlainPort = 6379;
constexpr int kMasterPort = 6380;
constexpr int kReplicaPort = 6381;
constexpr int kSentinelPorts[] = {26379, 26380, 26381};
constexpr const char* kService = "mymaster";

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether a Redis server (or sentinel) answers PING on 127.0.0.1:port.
inline bool answers_ping(int port) {
  timeval tv{0, 500000};
  redisContext* c = redisConnectWithTimeout("127.0.0.1", port, tv);
  bool ok = false;
  if (c && !c->err) {
    redisSetTimeout(c, tv);
    auto* reply = static_cast<redisReply*>(redisCommand(c, "PING"));
    ok = reply && reply->type == REDIS_REPLY_STATUS;
    if (reply) freeReplyObject(reply);
  }
  if (c) redisFree(c);
  return ok;
}

#define REQUIRE_REDIS(port)                                                                 \
  do {                                                                                      \
    if (!redis_test::answers_ping(port)) {                                                  \
      if (std::getenv("MOSSWORK_REQUIRE_SERVERS")) FAIL() << "no Redis on port " << (port); \
      GTEST_SKIP() << "no Redis on 127.0.0.1:" << (port)                                    \
                   << " (start the servers: scripts/servers start redis sentinel)";         \
    }                                                                                       \
  } while (0)

#define REQUIRE_SENTINEL_SET()                                 \
  do {                                                         \
    REQUIRE_REDIS(redis_test::kMasterPort);                    \
    REQUIRE_REDIS(redis_test::kReplicaPort);                   \
    for (int p : redis_test::kSentinelPorts) REQUIRE_REDIS(p); \
  } while (0)

// Keys unique to this process and call, so parallel test processes never collide.
inline std::string unique_key(const std::string& name) {
  static std::atomic<int> counter{0};
  return "mw:test:" + std::to_string(getpid()) + ":" + std::to_string(counter++) + ":" + name;
}

inline r::ClientOptions plain_options(int port = kPlainPort) {
  r::ClientOptions o;
  o.host = "127.0.0.1";
  o.port = port;
  o.socket_timeout = r::Seconds(5);
  return o;
}

inline r::ConnectionOptions connection_options(int port, double timeout = 5) {
  r::ConnectionOptions o;
  o.host = "127.0.0.1";
  o.port = port;
  o.socket_timeout = r::Seconds(timeout);
  return o;
}

// A port nothing listens on (bound, then released).
inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// ---- RESP text for fake servers -----------------------------------------------------------------

inline std::string resp_bulk(const std::string& s) {
  return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n";
}
inline std::string resp_array(const std::vector<std::string>& encoded) {
  std::string out = "*" + std::to_string(encoded.size()) + "\r\n";
  for (const auto& e : encoded) out += e;
  return out;
}
inline std::string resp_fields(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::vector<std::string> parts;
  for (const auto& [k, v] : fields) {
    parts.push_back(resp_bulk(k));
    parts.push_back(resp_bulk(v));
  }
  return resp_array(parts);
}
inline const std::string kRespNil = "$-1\r\n";

// What a fake server does with one request: send bytes (possibly none), then maybe hang up.
struct FakeAction {
  std::string send;
  bool close_after = false;
};
// nullopt: read the request and say nothing.
using FakeHandler = std::function<std::optional<FakeAction>(const std::vector<std::string>&)>;

// A TCP server on 127.0.0.1 that parses RESP requests and answers through a handler.
class FakeServer {
 public:
  explicit FakeServer(FakeHandler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_fd_, 64) != 0) {
      throw std::runtime_error("fake server: cannot listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (::pipe(wake_) != 0) throw std::runtime_error("fake server: pipe");
    thread_ = std::thread([this] { loop(); });
  }
  ~FakeServer() {
    char c = 0;
    (void)!::write(wake_[1], &c, 1);
    thread_.join();
    for (auto& [fd, reader] : clients_) {
      ::close(fd);
      redisReaderFree(reader);
    }
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  int requests() const { return requests_.load(); }

 private:
  void loop() {
    for (;;) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
      for (auto& [fd, reader] : clients_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
      if (fds[0].revents) return;
      if (fds[1].revents & POLLIN) {
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0) {
          ++accepted_;
          clients_[fd] = redisReaderCreate();
        }
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents) serve(fds[i].fd);
      }
    }
  }

  void drop(int fd) {
    redisReaderFree(clients_[fd]);
    clients_.erase(fd);
    ::close(fd);
  }

  void serve(int fd) {
    char buf[16384];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return drop(fd);
    redisReader* reader = clients_[fd];
    redisReaderFeed(reader, buf, static_cast<size_t>(n));
    for (;;) {
      void* raw = nullptr;
      if (redisReaderGetReply(reader, &raw) != REDIS_OK) return drop(fd);
      if (!raw) return;
      auto* req = static_cast<redisReply*>(raw);
      std::vector<std::string> args;
      if (req->type == REDIS_REPLY_ARRAY) {
        for (size_t i = 0; i < req->elements; ++i) {
          args.emplace_back(req->element[i]->str, req->element[i]->len);
        }
      }
      freeReplyObject(req);
      ++requests_;
      std::optional<FakeAction> action = handler_(args);
      if (!action) continue;
      std::size_t off = 0;
      while (off < action->send.size()) {
        ssize_t w = ::write(fd, action->send.data() + off, action->send.size() - off);
        if (w <= 0) break;
        off += static_cast<std::size_t>(w);
      }
      if (action->close_after) return drop(fd);
    }
  }

  FakeHandler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::map<int, redisReader*> clients_;
  std::atomic<int> accepted_{0};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A fake sentinel whose answers the test can change while clients use it.
class FakeSentinel {
 public:
  struct Replica {
    int port;
    std::string flags = "slave";
  };

  FakeSentinel() : server_([this](const std::vector<std::string>& args) { return answer(args); }) {}

  void set_master(int port, std::string flags = "master") {
    std::lock_guard lock(mutex_);
    master_port_ = port;
    master_flags_ = std::move(flags);
  }
  void set_replicas(std::vector<Replica> replicas) {
    std::lock_guard lock(mutex_);
    replicas_ = std::move(replicas);
  }
  int port() const { return server_.port(); }
  int requests() const { return server_.requests(); }

 private:
  std::optional<FakeAction> answer(const std::vector<std::string>& args) {
    std::lock_guard lock(mutex_);
    auto is = [&](std::size_t i, const char* word) {
      return args.size() > i && strcasecmp(args[i].c_str(), word) == 0;
    };
    if (is(0, "PING")) return FakeAction{"+PONG\r\n"};
    if (!is(0, "SENTINEL") || args.size() < 3 || args[2] != kService) {
      return FakeAction{"-ERR No such master with that name\r\n"};
    }
    if (is(1, "get-master-addr-by-name")) {
      return FakeAction{
          resp_array({resp_bulk("127.0.0.1"), resp_bulk(std::to_string(master_port_))})};
    }
    if (is(1, "MASTER")) {
      return FakeAction{resp_fields({{"name", kService},
                                     {"ip", "127.0.0.1"},
                                     {"port", std::to_string(master_port_)},
                                     {"flags", master_flags_},
                                     {"num-other-sentinels", "2"}})};
    }
    if (is(1, "SLAVES") || is(1, "REPLICAS")) {
      std::vector<std::string> entries;
      for (const Replica& rep : replicas_) {
        entries.push_back(resp_fields({{"name", "127.0.0.1:" + std::to_string(rep.port)},
                                       {"ip", "127.0.0.1"},
                                       {"port", std::to_string(rep.port)},
                                       {"flags", rep.flags}}));
      }
      return FakeAction{resp_array(entries)};
    }
    return FakeAction{"-ERR unknown sentinel subcommand\r\n"};
  }

  std::mutex mutex_;
  int master_port_ = 0;
  std::string master_flags_ = "master";
  std::vector<Replica> replicas_;
  FakeServer server_;  // last: its thread must stop before the fields above go
};

// ---- processes ---------------------------------------------------------------------------------

// Runs body in a forked child, which exits with body's result (or 99 when it threw).
// The child must not use gtest assertions; it reports through its exit status.
inline pid_t fork_child(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    alarm(30);  // a deadlocked child dies by SIGALRM instead of hanging the suite
    int code = 99;
    try {
      code = body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child %d: %s\n", getpid(), e.what());
    } catch (...) {
    }
    std::fflush(stderr);
    ::_exit(code);
  }
  return pid;
}

// The child's exit code; -1 for a signal or when it outlived the limit (it is killed then).
inline int wait_child(pid_t pid, std::chrono::seconds limit = 30s) {
  const auto stop = Clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return -1;
    }
    if (got < 0 || Clock::now() > stop) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

// A redis-server of the test's own on a free port, stopped when the object goes.
class PrivateRedis {
 public:
  explicit PrivateRedis(std::vector<std::string> extra_args) : port_(free_port()) {
    std::vector<std::string> args = {
        "redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "",
        "--appendonly", "no",     "--daemonize",         "no",     "--logfile", ""};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp("redis-server", argv.data());
      ::_exit(127);
    }
    // Started when it accepts connections (PING may need a password, so only connect).
    const auto stop = Clock::now() + 10s;
    while (Clock::now() < stop) {
      timeval tv{0, 200000};
      redisContext* c = redisConnectWithTimeout("127.0.0.1", port_, tv);
      const bool up = c && !c->err;
      if (c) redisFree(c);
      if (up) {
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
  }
  ~PrivateRedis() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  bool ready() const { return ready_; }
  int port() const { return port_; }

 private:
  int port_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Serialises the tests that use (and may fail over) the shared Sentinel set, across the
// processes ctest runs in parallel.
class SentinelSetLock {
 public:
  SentinelSetLock() {
    fd_ = ::open("/tmp/mosswork-redis-sentinel-tests.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~SentinelSetLock() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_ = -1;
};

}  // namespace redis_test
