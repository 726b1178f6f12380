// A small HTTP/1.1 server on 127.0.0.1 for transport tests: keep-alive, counted connections and
// requests, and replies that can stall or cut the connection, decided by the test's handler.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace mosswork::testing {

struct TestRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  int connection = 0;  // 1-based number of the connection it came on
};

struct TestReply {
  enum class Mode {
    kNormal,        // status, headers and body
    kStall,         // send nothing, keep the connection open for `stall`
    kStallMidBody,  // send headers and `partial` body bytes, then wait `stall`
    kClose,         // close the connection without answering
    kCloseMidBody,  // send headers and `partial` body bytes, then close
    kRaw,           // send `body` as the whole answer, status line and headers included, then close
  };
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Mode mode = Mode::kNormal;
  std::chrono::milliseconds stall{0};
  std::size_t partial = 0;
};

class TestHttpServer {
 public:
  using Handler = std::function<TestReply(const TestRequest&)>;

  explicit TestHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 512) != 0) {
      ::close(listen_fd_);
      throw std::runtime_error("bind/listen failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~TestHttpServer() { stop(); }

  void stop() {
    if (stopping_.exchange(true)) return;
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listen_fd_);
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mu_);
      for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
      workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
  }

  int port() const { return port_; }
  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return connections_.load(); }
  int requests() const { return requests_.load(); }
  // Connections currently open on the server's side.
  int open_connections() {
    std::lock_guard lock(mu_);
    return static_cast<int>(open_fds_.size());
  }

 private:
  void accept_loop() {
    for (;;) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (stopping_) return;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      int number = ++connections_;
      std::lock_guard lock(mu_);
      open_fds_.push_back(fd);
      workers_.emplace_back([this, fd, number] { serve(fd, number); });
    }
  }

  bool wait_stop(std::chrono::milliseconds total) {
    auto until = std::chrono::steady_clock::now() + total;
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return stopping_;
  }

  static bool send_all(int fd, const char* data, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
      if (w <= 0) {
        if (w < 0 && errno == EINTR) continue;
        return false;
      }
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  void serve(int fd, int number) {
    std::string in;
    char buf[65536];
    bool keep = true;
    while (keep && !stopping_) {
      // Read one request: headers, then Content-Length bytes of body.
      std::size_t header_end;
      while ((header_end = in.find("\r\n\r\n")) == std::string::npos) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
          keep = false;
          break;
        }
        in.append(buf, static_cast<std::size_t>(r));
      }
      if (!keep) break;
      TestRequest req;
      req.connection = number;
      std::string head = in.substr(0, header_end);
      in.erase(0, header_end + 4);
      std::size_t line_end = head.find("\r\n");
      std::string first = head.substr(0, line_end);
      std::size_t sp1 = first.find(' ');
      std::size_t sp2 = first.find(' ', sp1 + 1);
      req.method = first.substr(0, sp1);
      req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
      std::size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
      while (pos < head.size()) {
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(pos, end - pos);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
          std::string name = line.substr(0, colon);
          std::transform(name.begin(), name.end(), name.begin(), ::tolower);
          std::string value = line.substr(colon + 1);
          value.erase(0, value.find_first_not_of(' '));
          req.headers[name] = value;
        }
        pos = end + 2;
      }
      std::size_t length = 0;
      if (auto it = req.headers.find("content-length"); it != req.headers.end()) {
        length = std::stoul(it->second);
      }
      if (auto it = req.headers.find("expect"); it != req.headers.end()) {
        send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25);
      }
      while (in.size() < length) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
          keep = false;
          break;
        }
        in.append(buf, static_cast<std::size_t>(r));
      }
      if (!keep) break;
      req.body = in.substr(0, length);
      in.erase(0, length);
      ++requests_;

      TestReply reply = handler_(req);
      if (reply.mode == TestReply::Mode::kClose) break;
      if (reply.mode == TestReply::Mode::kRaw) {
        send_all(fd, reply.body.data(), reply.body.size());
        break;
      }
      if (reply.mode == TestReply::Mode::kStall) {
        wait_stop(reply.stall);
        break;
      }
      std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n";
      bool has_length = false;
      for (const auto& [k, v] : reply.headers) {
        out += k + ": " + v + "\r\n";
        std::string lower = k;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower == "content-length") has_length = true;
      }
      if (!has_length) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      out += "\r\n";
      if (reply.mode == TestReply::Mode::kNormal) {
        if (req.method != "HEAD") out += reply.body;
        if (!send_all(fd, out.data(), out.size())) break;
        continue;
      }
      out.append(reply.body, 0, std::min(reply.partial, reply.body.size()));
      if (!send_all(fd, out.data(), out.size())) break;
      if (reply.mode == TestReply::Mode::kStallMidBody) wait_stop(reply.stall);
      break;
    }
    std::lock_guard lock(mu_);
    open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
    ::close(fd);
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> requests_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<int> open_fds_;
  std::vector<std::thread> workers_;
};

}  // namespace mosswork::testing
