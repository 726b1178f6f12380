// An owned file descriptor: closed when its owner goes, handed over by move or release().
#pragma once

#include <sys/types.h>

#include <utility>

namespace mosswork::core {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing; the object is left empty.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the held descriptor (its close error cannot be acted on here) and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// open(2) retried while a signal interrupts it. On failure the result is empty and errno says
// why; the caller words the error.
UniqueFd open_fd(const char* path, int flags, mode_t mode = 0) noexcept;

}  // namespace mosswork::core
