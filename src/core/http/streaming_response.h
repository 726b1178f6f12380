// A response whose body is pulled by the caller in pieces, in constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/headers.h"

namespace mosswork::core::http {

class Lease;
class Transfer;
struct Request;
struct TransferLimits;

// The body arrives as it is pulled: libcurl is paused whenever the bounded buffer is full, so a
// body of any size costs the buffer and libcurl's receive buffer, no more. One thread at a time.
// At the end of the body the connection goes back to the pool; closing early closes it.
class StreamingResponse {
 public:
  StreamingResponse() noexcept;
  StreamingResponse(StreamingResponse&&) noexcept;
  StreamingResponse& operator=(StreamingResponse&&) noexcept;
  ~StreamingResponse();

  long status() const;
  const Headers& headers() const;
  std::optional<std::uint64_t> content_length() const;

  // Fills dst with n bytes, fewer only at the end of the body; 0 at the end.
  std::size_t read_into(char* dst, std::size_t n);
  // The same, into a new text.
  std::string read(std::size_t n);
  // Everything left, at most `limit` bytes (a longer body throws ProtocolError).
  std::string read_all(std::size_t limit = SIZE_MAX);
  // The next piece as it arrived, valid until the next call on this object; empty at the end.
  std::string_view next_chunk();

  // Whether every byte of the body has been handed out.
  bool at_end() const noexcept;
  std::uint64_t bytes_read() const noexcept;
  bool closed() const noexcept;

  // Ends the exchange. A fully read body leaves its connection to the pool; a half-read one is
  // closed (never reused). Reads afterwards throw.
  void close() noexcept;
  // minio-py's name for close().
  void release_conn() noexcept { close(); }

  struct Impl;
  explicit StreamingResponse(std::unique_ptr<Impl> impl) noexcept;

 private:
  Impl& impl() const;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mosswork::core::http
