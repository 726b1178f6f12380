// The OCR service's answers as the core's client reads them, served raw (the fuzz input) by a
// loopback server: recognise gives the body below status 400 and HttpStatusError with it from 400
// up, or fails as the transport's plain reading of the bytes fails; only core errors. The fuzz
// input is the image too: the request body is JSON whose image_data is its standard Base64.
#include <curl/curl.h>

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "core/ocr/ocr_client.h"
#include "fuzz_loopback.h"
#include "fuzz_support.h"

namespace core = mosswork::core;
namespace http = mosswork::core::http;
namespace ocr = mosswork::core::ocr;
using mosswork::fuzz::require;
using mosswork::fuzz::Result;
using mosswork::fuzz::result_of;

namespace {

// Standard Base64 with padding, decoded strictly; nullopt for anything else.
std::optional<std::string> base64_decode(std::string_view text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    unsigned value = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        value <<= 6;
        continue;
      }
      const std::size_t at = kAlphabet.find(c);
      if (at == std::string_view::npos || pad > 0) return std::nullopt;
      value = (value << 6) | static_cast<unsigned>(at);
    }
    out += static_cast<char>(value >> 16);
    if (pad < 2) out += static_cast<char>((value >> 8) & 0xff);
    if (pad < 1) out += static_cast<char>(value & 0xff);
  }
  return out;
}

void check_request_body(std::string_view image) {
  const std::string encoded = ocr::base64_encode(image);
  require(encoded.size() == (image.size() + 2) / 3 * 4, "Base64 takes four characters per three");
  require(base64_decode(encoded) == std::string(image), "Base64 decodes to the image", encoded);
  nlohmann::json body;
  try {
    body = nlohmann::json::parse(ocr::ocr_request_body(image));
  } catch (const nlohmann::json::exception& e) {
    require(false, "the request body is JSON", e.what());
  }
  require(body.size() == 2 && body["model_name"] == "paddleocr" && body["image_data"] == encoded,
          "the request names the model and carries the image");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  check_request_body(raw);

  auto& server = mosswork::fuzz::answer_with(raw);
  const std::string endpoint = server.url("/ocr/predict");
  const std::string body = ocr::ocr_request_body(raw);

  std::shared_ptr<http::HttpClient> transport = ocr::OcrClient::default_transport();
  std::optional<long> status;
  const Result plain = result_of([&] {
    http::Request request;
    request.method = "POST";
    request.url = endpoint;
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = body;
    request.timeout = std::chrono::milliseconds(5000);
    http::Response response = transport->send(request);
    status = response.status;
    return response.body;
  });

  ocr::OcrClient client(transport, ocr::OcrClientOptions{std::chrono::milliseconds(5000)});
  const Result got = result_of([&] { return client.recognise(endpoint, raw); });
  if (!status) {
    require(got.error == plain.error, "recognise fails as the transport fails", plain.error);
  } else if (*status < 400) {
    require(got.error.empty() && got.text == plain.text, "an answer below 400 gives the body");
  } else {
    require(got.status == *status && got.text == plain.text,
            "an answer from 400 up raises HttpStatusError with the body");
  }
  return 0;
}
