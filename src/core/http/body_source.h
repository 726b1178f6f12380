// Request bodies read in pieces (files, readers) so that an upload never holds the whole body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/common/unique_fd.h"

namespace mosswork::core::http {

// A body of known length, read front to back. A retry starts it again with rewind().
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Exact number of bytes the body has.
  virtual std::uint64_t size() const = 0;
  // Copies up to n bytes into dst; returns 0 only at the end. Throws on failure.
  virtual std::size_t read(char* dst, std::size_t n) = 0;
  // Goes back to the first byte; false when the source cannot (the request is then not retried
  // once any of it was sent).
  virtual bool rewind() = 0;
};

// A byte range of a file, read with pread so that several ranges can share one descriptor.
class FileBodySource final : public BodySource {
 public:
  // Opens path read-only and covers the whole file. Throws IoError.
  static FileBodySource open(const std::filesystem::path& path);
  // Covers [offset, offset + length) of fd, which the caller keeps open.
  FileBodySource(int fd, std::uint64_t offset, std::uint64_t length) noexcept;
  FileBodySource(FileBodySource&& other) noexcept;
  FileBodySource& operator=(FileBodySource&&) = delete;
  FileBodySource(const FileBodySource&) = delete;
  ~FileBodySource() override;

  std::uint64_t size() const override { return length_; }
  std::size_t read(char* dst, std::size_t n) override;
  bool rewind() override {
    position_ = 0;
    return true;
  }
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
  UniqueFd owned_;  // set when open() made the descriptor
  std::uint64_t offset_;
  std::uint64_t length_;
  std::uint64_t position_ = 0;
};

}  // namespace mosswork::core::http
