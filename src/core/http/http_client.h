// The HTTP transport of the core: a thread-safe, fork-safe connection pool over libcurl with the
// retry policy of urllib3's Retry.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "core/build/description.h"
#include "core/common/log.h"
#include "core/http/request.h"
#include "core/http/retry.h"
#include "core/http/streaming_response.h"

namespace mosswork::core::http {

class Pool;
struct TransferLimits;

struct HttpClientOptions {
  std::size_t max_connections = 100;  // connections kept for reuse
  bool block_when_full = false;       // wait for a pooled connection when all are lent
  std::chrono::milliseconds connect_timeout{30000};  // to establish a connection
  std::chrono::milliseconds read_timeout{30000};     // longest wait for the next bytes
  RetryPolicy retry;                                 // what is retried and how
  std::size_t stream_buffer_bytes = 256 * 1024;      // bytes a streamed body holds back at most
  std::string user_agent =                           // User-Agent header
      std::string(build::kDistributionName) + "/" + std::string(build::kVersion);
};

struct HttpClientStats {
  std::size_t idle_connections = 0;    // pooled entries waiting for reuse
  std::size_t pooled_connections = 0;  // pooled entries, idle and lent
};

// Shared by any number of threads. After fork() the child starts with an empty pool of its own
// and never uses (or shuts down) a connection of its parent.
class HttpClient {
 public:
  explicit HttpClient(HttpClientOptions options = {});
  // `log` must outlive the client.
  HttpClient(HttpClientOptions options, Log& log);
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  ~HttpClient();

  // Sends the request and reads the whole response. Error statuses are returned, except with
  // raise_for_status or when retried statuses run out (RetryPolicy::raise_on_status): then
  // HttpStatusError. Transport failures throw ConnectionClosed, Timeout, InvalidArgument, ...
  Response send(const Request& request);
  // Sends the request and returns once the response's headers are in; the body is pulled from
  // the result. Retries cover everything up to the headers. The request is copied, but a body it
  // points to (bytes or a source) must stay alive until the stream is closed or at its end.
  StreamingResponse open(const Request& request);

  const HttpClientOptions& options() const noexcept { return options_; }
  HttpClientStats stats() const;

 private:
  HttpClientOptions options_;
  NullLog null_log_;
  Log& log_;
  std::unique_ptr<TransferLimits> limits_;
  std::unique_ptr<Pool> pool_;
};

}  // namespace mosswork::core::http
