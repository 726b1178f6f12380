// File ranges as request bodies.
#include "core/http/body_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/common/errors.h"

namespace mosswork::core::http {

FileBodySource FileBodySource::open(const std::filesystem::path& path) {
  UniqueFd fd = open_fd(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd) throw_errno("cannot open", path.string());
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) throw_errno("cannot stat", path.string());
  FileBodySource source(fd.get(), 0, static_cast<std::uint64_t>(st.st_size));
  source.owned_ = std::move(fd);
  return source;
}

FileBodySource::FileBodySource(int fd, std::uint64_t offset, std::uint64_t length) noexcept
    : fd_(fd), offset_(offset), length_(length) {}

FileBodySource::FileBodySource(FileBodySource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::move(other.owned_)),
      offset_(other.offset_),
      length_(other.length_),
      position_(other.position_) {}

FileBodySource::~FileBodySource() = default;

std::size_t FileBodySource::read(char* dst, std::size_t n) {
  std::uint64_t left = length_ - position_;
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, n));
  std::size_t got = 0;
  while (got < want) {
    ssize_t r = ::pread(fd_, dst + got, want - got, static_cast<off_t>(offset_ + position_ + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot read upload body");
    }
    if (r == 0) throw IoError(EIO, "upload body ended early (file shrank)");
    got += static_cast<std::size_t>(r);
  }
  position_ += got;
  return got;
}

}  // namespace mosswork::core::http
