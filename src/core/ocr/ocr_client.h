// Requests to the OCR service: the image as Base64 inside a JSON body, POSTed to its endpoint.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "core/http/http_client.h"

namespace mosswork::core::ocr {

// The model the service is asked to use; it is the only one the service is known to run.
inline constexpr std::string_view kModelName = "paddleocr";

struct OcrClientOptions {
  std::chrono::milliseconds timeout{30000};  // connect and read time-out of one request
};

// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks) of any number of bytes.
std::string base64_encode(std::string_view bytes);

// {"model_name": "paddleocr", "image_data": "<Base64 of image>"}
std::string ocr_request_body(std::string_view image);

// Thread-safe: the transport pools its connections and the client keeps no other state.
class OcrClient {
 public:
  explicit OcrClient(std::shared_ptr<http::HttpClient> transport, OcrClientOptions options = {});

  // POSTs the image to `endpoint`, used exactly as given, and returns the answer's body.
  // A status of 400 or above throws HttpStatusError; transport failures throw what
  // HttpClient::send throws (ConnectionClosed, Timeout, InvalidArgument for a bad URL).
  std::string recognise(const std::string& endpoint, std::string_view image) const;

  // A transport fit for the service: no retries (a POST is not repeated behind the caller's
  // back) and every status handed back to the check above.
  static std::shared_ptr<http::HttpClient> default_transport();

 private:
  std::shared_ptr<http::HttpClient> transport_;
  OcrClientOptions options_;
};

}  // namespace mosswork::core::ocr
