// One HTTP exchange on one pooled entry, driven through the entry's multi handle: the whole
// body collected, or pulled by the caller through a bounded buffer (the transfer pauses when the
// buffer is full, so memory stays constant however large the body is).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/curl_handles.h"
#include "core/http/headers.h"
#include "core/http/pool.h"
#include "core/http/request.h"
#include "core/http/retry.h"

namespace mosswork::core::http {

// A failed attempt, with what the retry policy needs to know about it.
class TransferFailure : public std::exception {
 public:
  TransferFailure(FailureKind kind, CURLcode code, std::string context, std::string detail,
                  std::exception_ptr cause = nullptr)
      : kind_(kind),
        code_(code),
        context_(std::move(context)),
        detail_(std::move(detail)),
        cause_(std::move(cause)) {}
  const char* what() const noexcept override { return detail_.c_str(); }
  FailureKind kind() const noexcept { return kind_; }
  std::string describe() const;
  // Throws the core error this failure stands for (or the callback's own exception).
  [[noreturn]] void raise() const;

 private:
  FailureKind kind_;
  CURLcode code_;
  std::string context_;
  std::string detail_;
  std::exception_ptr cause_;
};

struct TransferLimits {
  std::chrono::milliseconds connect_timeout{30000};  // to establish the connection
  std::chrono::milliseconds read_timeout{30000};     // longest wait without any progress
  std::size_t stream_buffer_bytes = 256 * 1024;      // bytes a streamed body may hold back
  std::string user_agent;                            // User-Agent header
};

class Transfer {
 public:
  enum class Sink { kCollect, kStream };

  // The request (and anything it points to) must outlive the transfer.
  // `replayable`: libcurl may send the body again on a fresh connection when a reused one turned
  // out dead (idempotent methods only; others fail with ConnectionClosed instead).
  Transfer(PoolEntry& entry, const Request& request, const TransferLimits& limits, Sink sink,
           bool replayable);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  // A transfer still running is taken off its multi handle, which closes its connection.
  ~Transfer();

  // Sets the handle up and starts it. Throws TransferFailure.
  void start();
  // Runs until the final response's headers are in (or the transfer ended).
  void run_until_headers();
  // Runs to the end, collecting the body (collect sink).
  void run_to_end();
  // Reads the rest of a streamed body into a text, at most `limit` bytes (the rest is dropped).
  std::string read_rest(std::size_t limit);
  // Reads the rest of a short body and lets the connection be reused; a long or unknown one is
  // cut off instead.
  void drain() noexcept;

  // Streamed body: fills dst with n bytes, fewer only at the end; 0 at the end.
  std::size_t pull_into(char* dst, std::size_t n);
  // Streamed body: the next buffered piece, valid until the next call; empty at the end.
  std::string_view pull_chunk();
  // Whether every body byte has been handed out.
  bool exhausted() const noexcept { return done_ && buf_len_ == 0; }
  // Takes the handle off the multi handle. A finished transfer leaves its connection in the
  // cache for reuse; an unfinished one closes it.
  void detach() noexcept;

  long status() const noexcept { return status_; }
  const std::string& reason() const noexcept { return reason_; }
  Headers& headers() noexcept { return headers_; }
  std::string& body() noexcept { return body_; }
  std::optional<std::uint64_t> content_length() const noexcept { return content_length_; }
  bool done() const noexcept { return done_; }
  std::uint64_t body_bytes_read() const noexcept { return upload_offset_; }
  std::uint64_t received() const noexcept { return received_; }

 private:
  using Clock = std::chrono::steady_clock;

  template <typename Enough>
  void drive(Enough&& enough);
  void fail(FailureKind kind, CURLcode code, std::string detail,
            std::exception_ptr cause = nullptr);
  void read_messages();
  void finish_done();
  std::size_t take_buffered(char* dst, std::size_t n) noexcept;
  std::string context() const;
  // The status libcurl read from the current response's status line (0 before one).
  long curl_status() const noexcept;

  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t on_write(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t on_read(char* dst, std::size_t size, std::size_t count, void* self);
  static int on_prereq(void* self, char*, char*, int, int);
  static int on_seek(void* self, curl_off_t offset, int origin);

  PoolEntry& entry_;
  const Request& request_;
  const TransferLimits& limits_;
  Sink sink_;
  bool replayable_;
  CurlSlistPtr header_list_;
  char error_[CURL_ERROR_SIZE] = {};
  bool attached_ = false;
  bool done_ = false;
  bool paused_ = false;
  bool request_started_ = false;
  CURLcode result_ = CURLE_OK;
  std::exception_ptr callback_error_;
  Clock::time_point last_progress_{};

  // response
  long status_ = 0;
  std::string reason_;  // of the final status line
  bool headers_complete_ = false;
  bool status_line_next_ = true;  // the next header line starts a response
  Headers headers_;
  std::optional<std::uint64_t> content_length_;
  std::string body_;  // collect sink
  std::uint64_t received_ = 0;

  // streamed body: bytes go to the caller's target first, the rest to the bounded buffer
  char* target_ = nullptr;
  std::size_t target_cap_ = 0;
  std::size_t target_len_ = 0;
  std::vector<char> buf_;
  std::size_t buf_pos_ = 0;
  std::size_t buf_len_ = 0;

  // request body
  std::uint64_t upload_size_ = 0;
  std::uint64_t upload_offset_ = 0;
};

}  // namespace mosswork::core::http
