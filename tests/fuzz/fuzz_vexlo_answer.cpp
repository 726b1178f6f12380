// The vector database's answers as the core's vexlo calls read them, served raw (the fuzz input)
// by a loopback server: the blocking scroll (status 200 gives the body, any other status
// HttpStatusError with it), the same scroll as an event-loop exchange, the datastore helpers' REST
// exchange (every status returned), and what the helpers read off an answer: the charset of its
// Content-Type and whether a rejection names a malformed body. All must agree with the transport's
// plain reading of the same bytes, and fail only with core errors.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "core/vexlo/rest.h"
#include "core/vexlo/vexlo_client.h"
#include "fuzz_loopback.h"
#include "fuzz_support.h"

namespace core = mosswork::core;
namespace http = mosswork::core::http;
namespace vexlo = mosswork::core::vexlo;
using mosswork::fuzz::require;
using mosswork::fuzz::Result;
using mosswork::fuzz::result_of;

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void check_charset(std::string_view content_type) {
  const std::string charset = vexlo::content_type_charset(content_type);
  if (lower(content_type).find("charset=") == std::string::npos) {
    return require(charset.empty(), "no charset parameter, no charset", content_type);
  }
  require(charset.find(';') == std::string::npos, "a charset ends at the next parameter",
          content_type);
  require(lower(charset) == charset, "a charset is lower case", content_type);
  require(charset.empty() || (charset.back() != ' ' && charset.back() != '\t'),
          "a charset has no trailing blanks", content_type);
}

void check_malformed_keywords(std::string_view text) {
  auto has = [&](std::string_view keyword) {
    return std::search(text.begin(), text.end(), keyword.begin(), keyword.end(),
                       [](char a, char b) {
                         return std::tolower(static_cast<unsigned char>(a)) == b;
                       }) != text.end();
  };
  const bool expected = has("format error") || has("json") || has("syntax");
  require(vexlo::names_malformed_body(text) == expected,
          "a malformed body is named by its keywords in any case", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  auto& server = mosswork::fuzz::answer_with(raw);

  vexlo::RestEndpoint endpoint{"127.0.0.1", std::to_string(server.port()), "secret"};
  const std::string url = vexlo::collection_url(endpoint, "docs", "/points/scroll");
  const std::string body = vexlo::scroll_body(10, R"({"must":[]})", "7");

  // The helpers' exchange: every status is returned.
  std::optional<http::Response> plain;
  const Result rest = result_of([&] {
    plain = vexlo::rest_send("POST", url, vexlo::rest_headers(endpoint), body);
    return plain->body;
  });

  vexlo::VexloOptions options;
  options.url = "http://127.0.0.1:" + std::to_string(server.port());
  options.api_key = "secret";
  options.timeout = std::chrono::milliseconds(5000);
  vexlo::VexloClient client(options);
  const Result scroll = result_of([&] { return client.scroll("docs", 10, R"({"must":[]})", "7"); });

  const Result looped = result_of([&] {
    http::loop::BufferedTransfer transfer(
        client.scroll_request("docs", 10, std::string(R"({"must":[]})"), std::string("7")));
    // The transport's receive buffer, so that libcurl reads the bytes as the blocking call does.
    curl_easy_setopt(transfer.easy(), CURLOPT_BUFFERSIZE, 64L << 10);
    transfer.finished(curl_easy_perform(transfer.easy()));
    http::loop::BufferedResponse& r = transfer.response();
    return vexlo::VexloClient::scroll_answer(r.status, std::move(r.body));
  });

  for (const Result* r : {&scroll, &looped}) {
    if (!plain) {
      require(r->error == rest.error, "a scroll fails as the exchange fails", rest.error);
    } else if (plain->status == 200) {
      require(r->error.empty() && r->text == plain->body, "a 200 scroll gives the body");
    } else {
      require(r->status == plain->status && r->text == plain->body,
              "another status raises HttpStatusError with the body", std::to_string(plain->status));
    }
  }

  if (plain) {
    for (std::string_view type : plain->headers.get_all("Content-Type")) check_charset(type);
    check_malformed_keywords(plain->body);
  }
  check_charset(raw.substr(0, raw.find('\n')));
  check_malformed_keywords(raw);
  return 0;
}
