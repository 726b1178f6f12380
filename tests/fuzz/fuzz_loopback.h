// A server on 127.0.0.1 for the fuzz targets of the core's clients: it reads each request (head
// and Content-Length body), answers with the same raw bytes (the fuzz input, whatever they are)
// and closes the connection, so that every exchange ends as soon as the client has parsed them.
// One thread, one connection at a time (the tests' TestHttpServer keeps a thread per connection
// until it stops, which a run of a million exchanges cannot afford).
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <typeinfo>

#include "core/common/errors.h"
#include "fuzz_support.h"

namespace mosswork::fuzz {

class RawHttpServer {
 public:
  // The one server of a fuzz binary, started at first use and left running until exit.
  static RawHttpServer& instance() {
    static RawHttpServer* server = new RawHttpServer();
    return *server;
  }

  // The bytes every request is answered with from now on.
  void set_response(std::string_view bytes) {
    std::lock_guard lock(mu_);
    response_.assign(bytes);
  }

  std::string url(std::string_view path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }
  // "127.0.0.1:port"
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  // A client that connects and sends nothing is given up on after this long.
  static constexpr int kRequestWaitMs = 2000;

  RawHttpServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::abort();
    }
    port_ = ntohs(addr.sin_port);
    std::thread([this] { accept_loop(); }).detach();
  }

  void accept_loop() {
    for (;;) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        std::abort();
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      serve(fd);
      ::close(fd);
    }
  }

  // More request bytes into `in`; false at the end of the connection or after the wait.
  static bool receive(int fd, std::string& in) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kRequestWaitMs) <= 0) return false;
    char buf[16384];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  static std::size_t content_length(std::string_view head) {
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
         at = head.find("\r\n", at + 2)) {
      std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
      constexpr std::string_view kName = "content-length:";
      if (line.size() < kName.size()) continue;
      bool match = true;  // the name's characters all have bit 0x20 set in lower case
      for (std::size_t i = 0; i < kName.size() && match; ++i) match = (line[i] | 0x20) == kName[i];
      if (match) return std::strtoul(std::string(line.substr(kName.size())).c_str(), nullptr, 10);
    }
    return 0;
  }

  void serve(int fd) {
    // The whole request is read first: closing with unread bytes would reset the connection
    // and could throw the answer away before the client reads it.
    std::string in;
    std::size_t head_end;
    while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
      if (!receive(fd, in)) return;
    }
    const std::size_t want =
        head_end + 4 + content_length(std::string_view(in).substr(0, head_end));
    while (in.size() < want) {
      if (!receive(fd, in)) return;
    }
    std::string response;
    {
      std::lock_guard lock(mu_);
      response = response_;
    }
    for (std::size_t sent = 0; sent < response.size();) {
      ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::mutex mu_;
  std::string response_;
};

// libcurl readied (once) and the server answering every request with raw from now on.
inline RawHttpServer& answer_with(std::string_view raw) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  require(curl_ready, "libcurl initialises");
  RawHttpServer& server = RawHttpServer::instance();
  server.set_response(raw);
  return server;
}

// A client call's outcome: the text it returned, or the core error it raised (with the status
// and body of an HTTP status error). Anything but a core error fails the target.
struct Result {
  std::string error;  // typeid name of the core error; empty on success
  std::optional<long> status;
  std::string text;
};

template <typename Call>
Result result_of(Call&& call) {
  Result r;
  try {
    r.text = call();
  } catch (const core::HttpStatusError& e) {
    r.error = typeid(e).name();
    r.status = e.status();
    r.text = e.body();
  } catch (const core::Error& e) {
    r.error = typeid(e).name();
  } catch (const std::exception& e) {
    require(false, "failures are core errors", std::string(typeid(e).name()) + ": " + e.what());
  }
  return r;
}

}  // namespace mosswork::fuzz
