// The transport's request loop: pooled entries, retries with back-off, streamed responses.
#include "core/http/http_client.h"

#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/common/errors.h"
#include "core/http/pool.h"
#include "core/http/transfer.h"
#include "core/http/url.h"

namespace mosswork::core::http {
namespace {

// Longest error body kept for an HttpStatusError raised from a streamed response.
constexpr std::size_t kErrorBodyLimit = 1 << 20;

void validate(const Request& request) {
  if (request.url.empty()) throw InvalidArgument("HTTP request without a URL");
  if (request.method.empty()) throw InvalidArgument("HTTP request without a method");
}

// Starts the request's body again for the next attempt.
void rewind_body(const Request& request, std::uint64_t sent) {
  if (request.body_source && sent > 0 && !request.body_source->rewind()) {
    throw InvalidArgument("the request body cannot be read again for a retry of " + request.method +
                          " " + request.url);
  }
}

void sleep_for(std::chrono::duration<double> wait) {
  if (wait.count() > 0) std::this_thread::sleep_for(wait);
}

// What is left of an error body; a failure while reading it only shortens it.
std::string error_body(Transfer& transfer) {
  try {
    return transfer.read_rest(kErrorBodyLimit);
  } catch (const TransferFailure&) {
    transfer.detach();
    return {};
  }
}

}  // namespace

// ---- StreamingResponse ----------------------------------------------------------------------

struct StreamingResponse::Impl {
  Impl(const Request& r, const TransferLimits& l) : request(r), limits(l), pid(::getpid()) {}
  ~Impl() { close(); }

  void close() noexcept {
    if (::getpid() != pid) {
      // Forked while open: the connection is the parent's; nothing here may talk to libcurl.
      (void)transfer.release();
      lease.reset();
      closed = true;
      return;
    }
    transfer.reset();  // an unfinished transfer closes its connection
    lease.reset();
    closed = true;
  }

  void check_usable() const {
    if (::getpid() != pid)
      throw ConnectionClosed("the response stream belongs to the parent process");
    if (failure) std::rethrow_exception(failure);
    if (closed && !at_end) throw ConnectionClosed("the response stream is closed");
  }

  [[noreturn]] void fail_with(const TransferFailure& f) {
    transfer.reset();
    lease.reset();
    closed = true;
    try {
      f.raise();
    } catch (...) {
      failure = std::current_exception();
      throw;
    }
  }

  void after_pull(std::size_t got) {
    bytes_read += got;
    if (transfer && transfer->exhausted()) {
      at_end = true;
      release_finished();
    }
  }

  // A finished transfer left its connection cached in the entry: the entry goes back.
  void release_finished() noexcept {
    transfer.reset();
    lease.reset();
    closed = true;
  }

  Request request;        // a copy; the body it points to stays the caller's
  TransferLimits limits;  // a copy: the stream may outlive its client
  pid_t pid;
  Lease lease;
  std::unique_ptr<Transfer> transfer;
  long status = 0;
  Headers headers;
  std::optional<std::uint64_t> content_length;
  std::uint64_t bytes_read = 0;
  bool at_end = false;
  bool closed = false;
  std::exception_ptr failure;
  std::atomic<bool> busy{false};
};

namespace {

// Refuses a second thread on the same stream instead of corrupting it.
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& flag) : flag_(flag) {
    if (flag_.exchange(true))
      throw InvalidArgument("the response stream is in use by another thread");
  }
  ~BusyGuard() { flag_.store(false); }

 private:
  std::atomic<bool>& flag_;
};

}  // namespace

StreamingResponse::StreamingResponse() noexcept = default;
StreamingResponse::StreamingResponse(std::unique_ptr<Impl> impl) noexcept
    : impl_(std::move(impl)) {}
StreamingResponse::StreamingResponse(StreamingResponse&&) noexcept = default;
StreamingResponse& StreamingResponse::operator=(StreamingResponse&&) noexcept = default;
StreamingResponse::~StreamingResponse() = default;

StreamingResponse::Impl& StreamingResponse::impl() const {
  if (!impl_) throw InvalidArgument("empty response stream");
  return *impl_;
}

long StreamingResponse::status() const { return impl().status; }
const Headers& StreamingResponse::headers() const { return impl().headers; }
std::optional<std::uint64_t> StreamingResponse::content_length() const {
  return impl().content_length;
}
bool StreamingResponse::at_end() const noexcept { return impl_ && impl_->at_end; }
std::uint64_t StreamingResponse::bytes_read() const noexcept {
  return impl_ ? impl_->bytes_read : 0;
}
bool StreamingResponse::closed() const noexcept { return !impl_ || impl_->closed; }

std::size_t StreamingResponse::read_into(char* dst, std::size_t n) {
  Impl& s = impl();
  BusyGuard guard(s.busy);
  s.check_usable();
  if (s.at_end || n == 0) return 0;
  std::size_t got = 0;
  try {
    got = s.transfer->pull_into(dst, n);
  } catch (const TransferFailure& f) {
    s.fail_with(f);
  }
  s.after_pull(got);
  return got;
}

std::string StreamingResponse::read(std::size_t n) {
  std::string out;
  out.resize(n);
  out.resize(read_into(out.data(), n));
  return out;
}

std::string_view StreamingResponse::next_chunk() {
  Impl& s = impl();
  BusyGuard guard(s.busy);
  s.check_usable();
  if (s.at_end) {
    s.release_finished();
    return {};
  }
  std::string_view piece;
  try {
    piece = s.transfer->pull_chunk();
  } catch (const TransferFailure& f) {
    s.fail_with(f);
  }
  s.bytes_read += piece.size();
  if (s.transfer->exhausted()) {
    s.at_end = true;
    // The last piece still points into the transfer's buffer: let go at the next call.
    if (piece.empty()) s.release_finished();
  }
  return piece;
}

std::string StreamingResponse::read_all(std::size_t limit) {
  std::string out;
  if (auto length = content_length();
      length && *length - std::min(*length, bytes_read()) <= limit) {
    out.reserve(static_cast<std::size_t>(*length - std::min(*length, bytes_read())));
  }
  for (;;) {
    std::string_view piece = next_chunk();
    if (piece.empty()) break;
    if (piece.size() > limit - out.size()) {
      close();
      throw ProtocolError("response body exceeds " + std::to_string(limit) + " bytes");
    }
    out.append(piece);
  }
  return out;
}

void StreamingResponse::close() noexcept {
  if (impl_) impl_->close();
}

// ---- HttpClient -----------------------------------------------------------------------------

HttpClient::HttpClient(HttpClientOptions options) : HttpClient(std::move(options), null_log_) {}

HttpClient::HttpClient(HttpClientOptions options, Log& log)
    : options_(std::move(options)), log_(log) {
  if (options_.max_connections == 0) throw InvalidArgument("max_connections must be at least 1");
  if (options_.retry.total < 0) throw InvalidArgument("retry total must not be negative");
  limits_ = std::make_unique<TransferLimits>(
      TransferLimits{options_.connect_timeout, options_.read_timeout, options_.stream_buffer_bytes,
                     options_.user_agent});
  pool_ = std::make_unique<Pool>(PoolLimits{options_.max_connections, options_.block_when_full});
}

HttpClient::~HttpClient() = default;

HttpClientStats HttpClient::stats() const {
  PoolStats s = pool_->stats();
  return {s.idle, s.live};
}

namespace {

// Decides on a failed attempt: throws when it is final, else returns the sleep before the next.
std::chrono::duration<double> after_failure(const TransferFailure& failure, RetryState& retries,
                                            const Request& request, Log& log) {
  if (!retries.may_retry(failure.kind(), request.method)) failure.raise();
  if (!retries.increment()) failure.raise();
  log.lazy(LogLevel::kWarning, [&] {
    return "Retrying (" + std::to_string(retries.failures()) + ") " + request.method + " " +
           request.url + " after a failure: " + failure.describe();
  });
  return retries.backoff();
}

std::chrono::duration<double> status_wait(const RetryState& retries,
                                          std::optional<std::string_view> retry_after) {
  if (retry_after) {
    if (auto wait = retries.retry_after(*retry_after)) return *wait;
  }
  return retries.backoff();
}

void log_status_retry(Log& log, const RetryState& retries, const Request& request, long status) {
  log.lazy(LogLevel::kWarning, [&] {
    return "Retrying (" + std::to_string(retries.failures()) + ") " + request.method + " " +
           request.url + " after status " + std::to_string(status);
  });
}

}  // namespace

Response HttpClient::send(const Request& request) {
  validate(request);
  const std::string origin = origin_of(request.url);
  RetryState retries(options_.retry);
  for (;;) {
    std::chrono::duration<double> wait{0};
    std::uint64_t sent = 0;
    {
      Lease lease = pool_->borrow(origin);
      Transfer transfer(lease.entry(), request, *limits_, Transfer::Sink::kCollect,
                        retries.method_allowed(request.method));
      bool failed = false;
      try {
        transfer.start();
        transfer.run_to_end();
      } catch (const TransferFailure& f) {
        sent = transfer.body_bytes_read();
        wait = after_failure(f, retries, request, log_);
        failed = true;
      }
      if (!failed) {
        const long status = transfer.status();
        auto retry_after = transfer.headers().get("Retry-After");
        if (!retries.is_retry_status(request.method, status, retry_after.has_value())) {
          if (request.raise_for_status && status >= 400) {
            throw HttpStatusError(status, std::move(transfer.body()));
          }
          return Response{status, std::move(transfer.headers()), std::move(transfer.body()),
                          transfer.reason()};
        }
        if (!retries.increment()) {
          if (options_.retry.raise_on_status)
            throw HttpStatusError(status, std::move(transfer.body()));
          return Response{status, std::move(transfer.headers()), std::move(transfer.body()),
                          transfer.reason()};
        }
        wait = status_wait(retries, retry_after);
        sent = transfer.body_bytes_read();
        log_status_retry(log_, retries, request, status);
      }
    }
    rewind_body(request, sent);
    sleep_for(wait);
  }
}

StreamingResponse HttpClient::open(const Request& request) {
  validate(request);
  const std::string origin = origin_of(request.url);
  auto impl = std::make_unique<StreamingResponse::Impl>(request, *limits_);
  RetryState retries(options_.retry);
  for (;;) {
    std::chrono::duration<double> wait{0};
    std::uint64_t sent = 0;
    impl->lease = pool_->borrow(origin);
    impl->transfer =
        std::make_unique<Transfer>(impl->lease.entry(), impl->request, impl->limits,
                                   Transfer::Sink::kStream, retries.method_allowed(request.method));
    Transfer& transfer = *impl->transfer;
    bool failed = false;
    try {
      transfer.start();
      transfer.run_until_headers();
    } catch (const TransferFailure& f) {
      sent = transfer.body_bytes_read();
      impl->transfer.reset();
      impl->lease.reset();
      wait = after_failure(f, retries, request, log_);
      failed = true;
    }
    if (!failed) {
      const long status = transfer.status();
      auto retry_after = transfer.headers().get("Retry-After");
      const bool retry = retries.is_retry_status(request.method, status, retry_after.has_value());
      if (retry && !retries.increment()) {
        if (options_.retry.raise_on_status) throw HttpStatusError(status, error_body(transfer));
      } else if (retry) {
        wait = status_wait(retries, retry_after);
        sent = transfer.body_bytes_read();
        log_status_retry(log_, retries, request, status);
        transfer.drain();
        impl->transfer.reset();
        impl->lease.reset();
        rewind_body(request, sent);
        sleep_for(wait);
        continue;
      }
      if (request.raise_for_status && status >= 400) {
        throw HttpStatusError(status, error_body(transfer));
      }
      impl->status = status;
      impl->headers = std::move(transfer.headers());
      impl->content_length = transfer.content_length();
      impl->after_pull(0);  // a body that is already complete frees the connection now
      return StreamingResponse(std::move(impl));
    }
    rewind_body(request, sent);
    sleep_for(wait);
  }
}

}  // namespace mosswork::core::http
