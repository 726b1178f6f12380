// Scoped exclusive advisory lock on a lock file, taken by polling flock on the wall clock.
#pragma once

#include <chrono>
#include <string>

#include "core/common/unique_fd.h"

namespace mosswork::core::files {

struct FileLockOptions {
  // How long to keep trying before giving up with Timeout.
  std::chrono::duration<double> timeout{30.0};
  // Pause between two failed attempts.
  std::chrono::duration<double> poll_interval{1.0};
  // The time-out as the caller wrote it ("30", "2.5"), for the error text; empty: derived from
  // `timeout` in its shortest form.
  std::string timeout_text;
};

// Holds an exclusive flock on `path` from construction to destruction. The file is opened for
// writing (created, or emptied), locked without blocking and retried every poll interval until
// the time-out passes; then Timeout("Unable to acquire lock on <path> after <t> seconds").
// An open failure throws IoError at once. The lock file is left on disk.
//
// If the file is deleted or replaced while we wait, the lock we finally obtain would be on an
// orphaned inode that a newcomer never sees; so after each success the open handle is compared
// with what the path names now (device and inode), and the lock is taken again on the file
// that is there.
class FileLock {
 public:
  explicit FileLock(std::string path, const FileLockOptions& options = {});
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  const std::string& path() const noexcept { return path_; }
  // How many lock attempts construction made (1 when the lock was free).
  int attempts() const noexcept { return attempts_; }

 private:
  std::string path_;
  UniqueFd fd_;
  int attempts_ = 0;
};

}  // namespace mosswork::core::files
