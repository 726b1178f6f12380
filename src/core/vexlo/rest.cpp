// The vector database's REST exchanges as the datastore helpers make them.
#include "core/vexlo/rest.h"

#include <algorithm>
#include <cctype>

#include "core/http/http_client.h"
#include "core/http/url.h"

namespace mosswork::core::vexlo {
namespace {

// What requests leaves as it is in a URL (RFC 3986 reserved characters and "%"), beside letters,
// digits and "-._~".
constexpr std::string_view kUrlSafe = "!#$%&'()*+,/:;=?@[]";

// The longest wait we allow: the calls set no time-out of their own.
constexpr std::chrono::milliseconds kUnbounded = std::chrono::hours(24 * 365);

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

std::string rest_base_url(const RestEndpoint& endpoint) {
  return "http://" + endpoint.host + ":" + endpoint.port;
}

std::string collection_url(const RestEndpoint& endpoint, std::string_view collection,
                           std::string_view suffix) {
  std::string url = rest_base_url(endpoint);
  url += "/collections/";
  url += http::percent_encode(collection, kUrlSafe);
  url += suffix;
  return url;
}

http::HeaderList rest_headers(const RestEndpoint& endpoint) {
  http::HeaderList headers;
  headers.reserve(3);
  headers.emplace_back("accept", "application/json");
  headers.emplace_back("Content-Type", "application/json");
  if (endpoint.api_key) headers.emplace_back("api-key", *endpoint.api_key);
  return headers;
}

http::Response rest_send(const std::string& method, const std::string& url,
                         const http::HeaderList& headers, std::string_view body) {
  http::HttpClientOptions options;
  options.max_connections = 1;
  options.connect_timeout = kUnbounded;
  options.read_timeout = kUnbounded;
  options.retry = http::RetryPolicy::none();  // a rejected write is the caller's to repeat
  http::HttpClient client(options);           // dropped with its connection after the call
  http::Request request;
  request.method = method;
  request.url = url;
  request.headers = headers;
  request.body = body;
  request.verify_tls = false;
  return client.send(request);
}

http::loop::BufferedRequest rest_loop_request(std::string method, std::string url,
                                              const http::HeaderList& headers, std::string body,
                                              std::chrono::milliseconds timeout) {
  http::loop::BufferedRequest request;
  request.method = std::move(method);
  request.url = std::move(url);
  request.headers.reserve(headers.size());
  for (const auto& [name, value] : headers) request.headers.push_back(name + ": " + value);
  request.body = std::move(body);
  request.timeout = timeout;
  request.verify = false;
  return request;
}

bool names_malformed_body(std::string_view error_text) {
  // The keywords are ASCII, and no non-ASCII character lower-cases into one of their letters.
  const std::string lowered = lower_ascii(error_text);
  for (std::string_view keyword : {"format error", "json", "syntax"}) {
    if (lowered.find(keyword) != std::string::npos) return true;
  }
  return false;
}

std::string content_type_charset(std::string_view content_type) {
  std::string lowered = lower_ascii(content_type);
  std::size_t at = lowered.find("charset=");
  if (at == std::string::npos) return {};
  std::string_view value = std::string_view(lowered).substr(at + 8);
  value = value.substr(0, value.find(';'));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

}  // namespace mosswork::core::vexlo
