// Starts a server program of the test suite (moto, the Python stand-ins) on a free 127.0.0.1
// port, waits until it accepts connections, and stops it again.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mosswork::testing {

#ifndef MOSSWORK_TEST_PYTHON
#define MOSSWORK_TEST_PYTHON "python3"
#endif
#ifndef MOSSWORK_SOURCE_DIR
#define MOSSWORK_SOURCE_DIR "."
#endif

inline std::string python_executable() { return MOSSWORK_TEST_PYTHON; }
inline std::string source_dir() { return MOSSWORK_SOURCE_DIR; }

// A port nothing listens on right now (bound, then released).
inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind a probe socket");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

inline bool port_accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class ServerProcess {
 public:
  // Runs argv (argv[0] is looked up in PATH unless it holds a "/"); "{port}" in any argument is
  // replaced by the chosen port. Throws when the server is not accepting within `ready_within`.
  ServerProcess(std::vector<std::string> argv,
                std::chrono::milliseconds ready_within = std::chrono::seconds(20))
      : port_(free_port()) {
    for (auto& arg : argv) {
      for (std::size_t at; (at = arg.find("{port}")) != std::string::npos;) {
        arg.replace(at, 6, std::to_string(port_));
      }
    }
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    auto until = std::chrono::steady_clock::now() + ready_within;
    while (!port_accepts(port_)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error(argv[0] + " exited before accepting connections");
      }
      if (std::chrono::steady_clock::now() > until) {
        stop();
        throw std::runtime_error(argv[0] + " did not accept connections in time");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { stop(); }

  int port() const { return port_; }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

}  // namespace mosswork::testing
