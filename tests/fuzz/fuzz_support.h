// What the fuzz targets share: the input as a file for readers that take a path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace mosswork::fuzz {

// An anonymous in-memory file holding the input, named by its /proc path.
class MemFile {
 public:
  MemFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz", 0)) {
    if (fd_ < 0) std::abort();
    for (std::size_t done = 0; done < size;) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace mosswork::fuzz
