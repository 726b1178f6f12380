// Owned descriptors.
#include "core/common/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace mosswork::core {

void UniqueFd::reset(int fd) noexcept {
  const int old = std::exchange(fd_, fd);
  if (old >= 0 && old != fd) ::close(old);
}

UniqueFd open_fd(const char* path, int flags, mode_t mode) noexcept {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

}  // namespace mosswork::core
