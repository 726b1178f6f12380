// Polling flock with a wall-clock time-out, and the check that the locked file is still the one
// the path names.
#include "core/files/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <thread>

#include "core/common/errors.h"
#include "core/common/unique_fd.h"

namespace mosswork::core::files {
namespace {

UniqueFd open_lock_file(const std::string& path) {
  UniqueFd fd = open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (!fd) throw_errno("cannot open lock file", path);
  return fd;
}

// True when `fd` is the file that `path` names now.
bool still_named_by_path(int fd, const std::string& path) {
  struct stat held{}, named{};
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::string shortest(double seconds) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
  return std::string(buffer, result.ptr);
}

}  // namespace

FileLock::FileLock(std::string path, const FileLockOptions& options) : path_(std::move(path)) {
  using Clock = std::chrono::system_clock;
  const auto start = Clock::now();
  UniqueFd fd = open_lock_file(path_);
  for (;;) {
    ++attempts_;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      if (still_named_by_path(fd.get(), path_)) break;
      // Someone removed or replaced the file while we waited: this lock guards nothing.
      ::flock(fd.get(), LOCK_UN);
      fd = open_lock_file(path_);
      continue;
    }
    if (Clock::now() - start > options.timeout) {
      throw Timeout("Unable to acquire lock on " + path_ + " after " +
                    (options.timeout_text.empty() ? shortest(options.timeout.count())
                                                  : options.timeout_text) +
                    " seconds");
    }
    std::this_thread::sleep_for(options.poll_interval);
  }
  fd_ = std::move(fd);
}

// The descriptor closes after the unlock.
FileLock::~FileLock() { ::flock(fd_.get(), LOCK_UN); }

}  // namespace mosswork::core::files
