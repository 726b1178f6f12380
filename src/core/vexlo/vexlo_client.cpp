// Vector-database requests: the base URL rules and the scroll body.
#include "core/vexlo/vexlo_client.h"

#include <algorithm>
#include <charconv>

#include "core/common/errors.h"
#include "core/http/url.h"

namespace mosswork::core::vexlo {

std::string vexlo_base_url(const VexloOptions& options) {
  bool https = options.https.value_or(options.api_key.has_value());
  std::string scheme = https ? "https" : "http";
  std::string host = "localhost";
  std::optional<int> port = options.port;
  std::string prefix = options.prefix;
  if (options.url && !options.url->empty()) {
    std::string_view rest = *options.url;
    if (std::size_t sep = rest.find("://"); sep != std::string_view::npos) {
      scheme = std::string(rest.substr(0, sep));
      std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
      rest.remove_prefix(sep + 3);
    }
    if (scheme != "http" && scheme != "https") throw InvalidArgument("Unknown scheme: " + scheme);
    std::string_view hostport = rest.substr(0, rest.find('/'));
    std::string_view path = rest.substr(hostport.size());
    if (!path.empty() && path != "/") {
      if (!prefix.empty()) {
        throw InvalidArgument("Prefix can be set either in `url` or in `prefix`. url is " +
                              *options.url + ", prefix is " + std::string(path));
      }
      prefix = std::string(path);
    }
    std::string_view port_text;
    if (hostport.starts_with('[')) {
      std::size_t close = hostport.find(']');
      if (close == std::string_view::npos) throw InvalidArgument("bad host in url " + *options.url);
      host = std::string(hostport.substr(0, close + 1));
      if (hostport.substr(close + 1).starts_with(':')) port_text = hostport.substr(close + 2);
    } else if (std::size_t colon = hostport.rfind(':'); colon != std::string_view::npos) {
      host = std::string(hostport.substr(0, colon));
      port_text = hostport.substr(colon + 1);
    } else {
      host = std::string(hostport);
    }
    if (host.empty()) throw InvalidArgument("no host in url " + *options.url);
    if (!port_text.empty()) {
      int value = 0;
      auto [end, ec] =
          std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
      if (ec != std::errc() || end != port_text.data() + port_text.size() || value <= 0 ||
          value > 65535) {
        throw InvalidArgument("bad port in url " + *options.url);
      }
      port = value;
    }
  }
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  std::string base = scheme + "://" + host;
  if (port) {
    base += ':';
    base += std::to_string(*port);
  }
  if (!prefix.empty() && prefix.front() != '/') base += '/';
  return base + prefix;
}

VexloClient::VexloClient(VexloOptions options) : VexloClient(std::move(options), null_log_) {}

VexloClient::VexloClient(VexloOptions options, Log& log)
    : options_(std::move(options)),
      log_(log),
      base_url_(vexlo_base_url(options_)),
      timeout_(options_.timeout.value_or(std::chrono::seconds(5))) {
  if (timeout_.count() <= 0) throw InvalidArgument("vector database time-out must be positive");
  http::HttpClientOptions http_options;
  http_options.max_connections = std::max<std::size_t>(options_.max_connections, 1);
  http_options.connect_timeout = timeout_;
  http_options.read_timeout = timeout_;
  http_options.retry = http::RetryPolicy::none();  // the client package does not retry
  http_ = std::make_unique<http::HttpClient>(http_options, log_);
}

http::HeaderList VexloClient::default_headers(bool json_body) const {
  http::HeaderList headers;
  headers.emplace_back("Accept", "application/json");
  if (json_body) headers.emplace_back("Content-Type", "application/json");
  if (options_.api_key) headers.emplace_back("api-key", *options_.api_key);
  return headers;
}

http::Response VexloClient::request(const std::string& method, const std::string& path,
                                    std::optional<std::string_view> body_json,
                                    const std::optional<http::HeaderList>& headers) {
  http::Request request;
  request.method = method;
  request.url = base_url_ + path;
  request.verify_tls = options_.verify;
  request.headers = headers ? *headers : default_headers(body_json.has_value());
  if (body_json) request.body = *body_json;
  return http_->send(request);
}

std::string scroll_path(const std::string& collection_name) {
  if (collection_name.empty()) throw InvalidArgument("collection name must not be empty");
  return "/collections/" + http::percent_encode(collection_name) + "/points/scroll";
}

std::string scroll_body(long limit, const std::optional<std::string>& filter_json,
                        const std::optional<std::string>& offset_json) {
  std::string body = "{\"limit\":" + std::to_string(limit);
  // An absent (or empty) filter or offset is left out of the body.
  if (filter_json && !filter_json->empty()) body += ",\"filter\":" + *filter_json;
  if (offset_json && !offset_json->empty()) body += ",\"offset\":" + *offset_json;
  body += ",\"with_payload\":true,\"with_vector\":false}";
  return body;
}

std::string VexloClient::scroll(const std::string& collection_name, long limit,
                                const std::optional<std::string>& filter_json,
                                const std::optional<std::string>& offset_json) {
  std::string path = scroll_path(collection_name);
  http::Response response = request("POST", path, scroll_body(limit, filter_json, offset_json));
  return scroll_answer(response.status, std::move(response.body));
}

http::loop::BufferedRequest VexloClient::scroll_request(
    const std::string& collection_name, long limit, const std::optional<std::string>& filter_json,
    const std::optional<std::string>& offset_json) const {
  http::loop::BufferedRequest request;
  request.method = "POST";
  request.url = base_url_ + scroll_path(collection_name);
  request.body = scroll_body(limit, filter_json, offset_json);
  for (const auto& [name, value] : default_headers(true)) {
    request.headers.push_back(name + ": " + value);
  }
  request.timeout = timeout_;
  request.verify = options_.verify;
  return request;
}

std::string VexloClient::scroll_answer(long status, std::string body) {
  if (status != 200) throw HttpStatusError(status, std::move(body));
  return body;
}

}  // namespace mosswork::core::vexlo
