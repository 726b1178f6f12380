// What the fuzz targets share: the input as a file for readers that take a path, and the check
// that turns a wrong result into a crash the fuzzer keeps.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace mosswork::fuzz {

// Whether MOSSWORK_FUZZ_SHOW is set: targets then print what they saw of each input, for
// reading a crash's input back.
inline bool showing() {
  static const bool show = std::getenv("MOSSWORK_FUZZ_SHOW") != nullptr;
  return show;
}

inline void show(std::string_view label, std::string_view text) {
  if (showing()) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(label.size()), label.data(),
                 static_cast<int>(text.size()), text.data());
  }
}

// A property of the result that does not hold: said on stderr, then abort() (the input is kept
// as a crash).
inline void require(bool holds, const char* property, std::string_view detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n  %.*s\n", property, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

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
