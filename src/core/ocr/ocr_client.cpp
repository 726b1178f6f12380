// Requests to the OCR service: Base64 through OpenSSL, the POST through the core transport.
#include "core/ocr/ocr_client.h"

#include <openssl/evp.h>

#include <algorithm>

#include "core/common/errors.h"
#include "core/http/request.h"

namespace mosswork::core::ocr {

std::string base64_encode(std::string_view bytes) {
  // EVP_EncodeBlock takes an int length and writes no line breaks; feeding it whole groups of
  // three bytes lets the chunks' output simply run together.
  constexpr std::size_t kChunk = 3 * (std::size_t{1} << 20);
  // One byte more for the NUL EVP_EncodeBlock writes after each chunk; the next chunk
  // overwrites it, and the last one is cut off below.
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
  std::size_t written = 0;
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    std::size_t n = std::min(kChunk, bytes.size() - at);
    int got = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                              reinterpret_cast<const unsigned char*>(bytes.data() + at),
                              static_cast<int>(n));
    if (got < 0) throw Error("Base64 encoding failed");
    written += static_cast<std::size_t>(got);
  }
  out.resize(written);
  return out;
}

std::string ocr_request_body(std::string_view image) {
  // Neither the model name nor Base64's alphabet needs JSON escaping.
  constexpr std::string_view kHead = R"({"model_name": ")";
  constexpr std::string_view kMiddle = R"(", "image_data": ")";
  constexpr std::string_view kTail = R"("})";
  std::string encoded = base64_encode(image);
  std::string body;
  body.reserve(kHead.size() + kModelName.size() + kMiddle.size() + encoded.size() + kTail.size());
  body.append(kHead).append(kModelName).append(kMiddle).append(encoded).append(kTail);
  return body;
}

OcrClient::OcrClient(std::shared_ptr<http::HttpClient> transport, OcrClientOptions options)
    : transport_(std::move(transport)), options_(options) {
  if (!transport_) throw InvalidArgument("the OCR client needs a transport");
}

std::string OcrClient::recognise(const std::string& endpoint, std::string_view image) const {
  std::string body = ocr_request_body(image);
  http::Request request;
  request.method = "POST";
  request.url = endpoint;
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = body;
  request.raise_for_status = true;
  request.timeout = options_.timeout;
  return transport_->send(request).body;
}

std::shared_ptr<http::HttpClient> OcrClient::default_transport() {
  http::HttpClientOptions options;
  options.max_connections = 10;
  options.retry = http::RetryPolicy::none();
  return std::make_shared<http::HttpClient>(options);
}

}  // namespace mosswork::core::ocr
