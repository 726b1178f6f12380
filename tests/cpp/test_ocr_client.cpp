// The OCR request: Base64 against the standard vectors and an independent decoder, the JSON
// body, the POST itself, refused statuses, no retries and the time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "core/common/errors.h"
#include "core/ocr/ocr_client.h"
#include "support/test_http_server.h"

using namespace mosswork::core;
using mosswork::testing::TestHttpServer;
using mosswork::testing::TestReply;
using mosswork::testing::TestRequest;

namespace {

// A plain table-driven decoder, written apart from the encoder under test.
std::string base64_decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    auto at = kAlphabet.find(c);
    if (at == std::string::npos) throw std::runtime_error("not Base64");
    value = (value << 6) | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((value >> bits) & 0xff));
    }
  }
  return out;
}

}  // namespace

TEST(OcrBase64, MatchesTheStandardVectors) {
  // RFC 4648, section 10.
  EXPECT_EQ(ocr::base64_encode(""), "");
  EXPECT_EQ(ocr::base64_encode("f"), "Zg==");
  EXPECT_EQ(ocr::base64_encode("fo"), "Zm8=");
  EXPECT_EQ(ocr::base64_encode("foo"), "Zm9v");
  EXPECT_EQ(ocr::base64_encode("foob"), "Zm9vYg==");
  EXPECT_EQ(ocr::base64_encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(ocr::base64_encode("foobar"), "Zm9vYmFy");
  // Bytes that map to the two non-alphanumeric characters, and NUL bytes kept.
  EXPECT_EQ(ocr::base64_encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(ocr::base64_encode(std::string("\0\0", 2)), "AAA=");
}

TEST(OcrBase64, LargeInputsCrossChunksWithoutLineBreaks) {
  // Longer than one internal chunk and not a multiple of three, so the chunk seams and the
  // final padding are both exercised.
  std::string data(3 * (std::size_t{1} << 20) * 2 + 7, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  std::string encoded = ocr::base64_encode(data);
  EXPECT_EQ(encoded.size(), (data.size() + 2) / 3 * 4);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(encoded.find('\0'), std::string::npos);
  EXPECT_EQ(encoded.substr(encoded.size() - 2), "==");
  EXPECT_TRUE(base64_decode(encoded) == data);
}

TEST(OcrRequest, BodyIsTheModelAndTheImage) {
  auto doc = nlohmann::json::parse(ocr::ocr_request_body("\x89PNG\r\n"));
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc["model_name"], "paddleocr");
  EXPECT_EQ(doc["image_data"], "iVBORw0K");
  EXPECT_EQ(nlohmann::json::parse(ocr::ocr_request_body(""))["image_data"], "");
}

TEST(OcrClient, PostsJsonToTheEndpointAsGivenAndReturnsTheBody) {
  TestRequest seen;
  TestHttpServer server([&](const TestRequest& r) {
    seen = r;
    TestReply reply;
    reply.headers.push_back({"Content-Type", "application/json"});
    reply.body = R"({"text": "hello"})";
    return reply;
  });
  ocr::OcrClient client(ocr::OcrClient::default_transport());
  // A query string and an unusual path stay exactly as configured.
  std::string answer = client.recognise(server.url("/v1/ocr?x=1"), "abc");
  EXPECT_EQ(answer, R"({"text": "hello"})");
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.target, "/v1/ocr?x=1");
  EXPECT_EQ(seen.headers["content-type"], "application/json");
  auto doc = nlohmann::json::parse(seen.body);
  EXPECT_EQ(doc["model_name"], "paddleocr");
  EXPECT_EQ(doc["image_data"], "YWJj");
}

TEST(OcrClient, RefusedStatusesThrowWithTheBodyAndAreNotRetried) {
  for (int status : {400, 404, 500, 503}) {
    std::atomic<int> calls{0};
    TestHttpServer server([&](const TestRequest&) {
      ++calls;
      TestReply reply;
      reply.status = status;
      reply.body = R"({"error": "no"})";
      return reply;
    });
    ocr::OcrClient client(ocr::OcrClient::default_transport());
    try {
      client.recognise(server.url("/ocr"), "img");
      ADD_FAILURE() << "status " << status << " did not throw";
    } catch (const HttpStatusError& e) {
      EXPECT_EQ(e.status(), status);
      EXPECT_EQ(e.body(), R"({"error": "no"})");
    }
    EXPECT_EQ(calls.load(), 1) << "status " << status;
  }
}

TEST(OcrClient, ASilentServiceTimesOutOnce) {
  std::atomic<int> calls{0};
  TestHttpServer server([&](const TestRequest&) {
    ++calls;
    TestReply reply;
    reply.mode = TestReply::Mode::kStall;
    reply.stall = std::chrono::seconds(5);
    return reply;
  });
  ocr::OcrClientOptions options;
  options.timeout = std::chrono::milliseconds(300);
  ocr::OcrClient client(ocr::OcrClient::default_transport(), options);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(client.recognise(server.url("/ocr"), "img"), Timeout);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(calls.load(), 1);
}

TEST(OcrClient, AnUnreachableServiceIsAConnectionFailure) {
  int port;
  {
    TestHttpServer gone([](const TestRequest&) { return TestReply{}; });
    port = gone.port();
  }
  ocr::OcrClient client(ocr::OcrClient::default_transport());
  EXPECT_THROW(client.recognise("http://127.0.0.1:" + std::to_string(port) + "/ocr", "x"),
               ConnectionClosed);
}
