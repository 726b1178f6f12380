// One HTTP exchange as a libcurl easy handle that an event-loop driver runs on its own multi
// handle.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/http/curl_handles.h"

namespace mosswork::core::http::loop {

// What a driver needs from a transfer: a ready easy handle, and a hook for its end.
class Transfer {
 public:
  virtual ~Transfer() = default;
  virtual CURL* easy() = 0;
  // Called once, on the driver's thread, when libcurl reports the transfer done.
  virtual void finished(CURLcode code) = 0;
};

struct BufferedRequest {
  std::string method = "GET";
  std::string url;
  // Complete header lines, "Name: value".
  std::vector<std::string> headers;
  std::string body;
  // Whole-exchange limit; zero means none.
  std::chrono::milliseconds timeout{30000};
  // Limit for establishing the connection; zero means libcurl's default.
  std::chrono::milliseconds connect_timeout{0};
  // Check the server's TLS certificate and host name.
  bool verify = true;
  // Basic authentication, sent apart from the URL.
  std::optional<std::pair<std::string, std::string>> basic_auth;
};

struct BufferedResponse {
  long status = 0;
  // Header fields of the final response, names as received.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// A transfer whose request and response bodies are held in memory.
class BufferedTransfer : public Transfer {
 public:
  explicit BufferedTransfer(BufferedRequest request);
  BufferedTransfer(const BufferedTransfer&) = delete;
  BufferedTransfer& operator=(const BufferedTransfer&) = delete;

  CURL* easy() override { return easy_.get(); }
  void finished(CURLcode code) override;

  bool done() const noexcept { return done_; }
  CURLcode code() const noexcept { return code_; }
  // libcurl's detailed text for a failed transfer.
  const std::string& error_text() const noexcept { return error_text_; }
  // Throws the core error for a failed transfer; otherwise returns the response.
  BufferedResponse& response();

 private:
  static size_t on_body(char* data, size_t size, size_t count, void* self);
  static size_t on_header(char* data, size_t size, size_t count, void* self);

  BufferedRequest request_;
  CurlEasyPtr easy_;
  CurlSlistPtr header_list_;
  BufferedResponse response_;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  std::string error_text_;
  CURLcode code_ = CURLE_OK;
  bool done_ = false;
};

}  // namespace mosswork::core::http::loop
