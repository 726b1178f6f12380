// OpenSearch requests: host selection with failover, paths, status handling.
#include "core/search/opensearch_client.h"

#include <algorithm>
#include <charconv>

#include "core/common/errors.h"
#include "core/http/url.h"

namespace mosswork::core::search {
namespace {

// Path parts are encoded as opensearch-py does, keeping "," and "*" (index lists, patterns).
std::string path_part(const std::string& part) { return http::percent_encode(part, ",*"); }

// "/index/kind/id" with each part encoded.
std::string document_path(const std::string& index, std::string_view kind, const std::string& id) {
  std::string path;
  path += '/';
  path += path_part(index);
  path += '/';
  path += kind;
  path += '/';
  path += path_part(id);
  return path;
}

int parse_port(std::string_view text, std::string_view whole) {
  int port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port <= 0 ||
      port > 65535) {
    throw InvalidArgument("bad port in OpenSearch address '" + std::string(whole) + "'");
  }
  return port;
}

}  // namespace

OpenSearchAddress parse_opensearch_address(std::string_view text) {
  OpenSearchAddress out;
  std::string_view rest = text;
  if (std::size_t sep = rest.find("://"); sep != std::string_view::npos) {
    std::string scheme(rest.substr(0, sep));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
    if (scheme != "http" && scheme != "https") {
      throw InvalidArgument("unsupported scheme in OpenSearch address '" + std::string(text) + "'");
    }
    out.host.scheme = scheme;
    rest.remove_prefix(sep + 3);
  } else if (rest.starts_with("//")) {
    rest.remove_prefix(2);
  }
  // Everything up to the last "@" is user information, whatever characters it holds.
  if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    std::string_view userinfo = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    std::size_t colon = userinfo.find(':');
    http::BasicAuth auth;
    auth.user = std::string(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) auth.password = std::string(userinfo.substr(colon + 1));
    out.auth = std::move(auth);
  }
  std::string_view hostport = rest.substr(0, rest.find('/'));
  if (hostport.size() < rest.size()) {
    std::string_view prefix = rest.substr(hostport.size());
    while (prefix.size() > 1 && prefix.back() == '/') prefix.remove_suffix(1);
    if (prefix != "/") out.host.url_prefix = std::string(prefix);
  }
  std::string_view host = hostport;
  std::string_view port;
  if (hostport.starts_with('[')) {
    std::size_t close = hostport.find(']');
    if (close == std::string_view::npos) {
      throw InvalidArgument("bad IPv6 host in OpenSearch address '" + std::string(text) + "'");
    }
    host = hostport.substr(1, close - 1);
    std::string_view after = hostport.substr(close + 1);
    if (after.starts_with(':')) port = after.substr(1);
  } else if (std::size_t colon = hostport.rfind(':'); colon != std::string_view::npos) {
    host = hostport.substr(0, colon);
    port = hostport.substr(colon + 1);
  }
  if (host.empty())
    throw InvalidArgument("no host in OpenSearch address '" + std::string(text) + "'");
  out.host.host = std::string(host);
  if (!port.empty()) {
    out.host.port = parse_port(port, text);
  } else {
    out.host.port = out.host.scheme == "https" ? 443 : 9200;
  }
  return out;
}

OpenSearchClient::OpenSearchClient(OpenSearchOptions options)
    : OpenSearchClient(std::move(options), null_log_) {}

OpenSearchClient::OpenSearchClient(OpenSearchOptions options, Log& log)
    : options_(std::move(options)), log_(log) {
  if (options_.hosts.empty()) throw InvalidArgument("OpenSearch client needs at least one host");
  if (options_.max_retries < 0) throw InvalidArgument("max_retries must not be negative");
  for (const OpenSearchHost& h : options_.hosts) {
    if (h.host.empty()) throw InvalidArgument("OpenSearch host without a name");
    std::string scheme = h.scheme.value_or(options_.use_ssl ? "https" : "http");
    std::string host = h.host.find(':') != std::string::npos ? "[" + h.host + "]" : h.host;
    std::string prefix = h.url_prefix;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    std::string base = scheme + "://" + host;
    base += ':';
    base += std::to_string(h.port);
    if (!prefix.empty() && prefix.front() != '/') base += '/';
    bases_.push_back(base + prefix);
  }
  http::HttpClientOptions http_options;
  http_options.max_connections = std::max<std::size_t>(options_.max_connections, 1);
  http_options.connect_timeout = options_.timeout;
  http_options.read_timeout = options_.timeout;
  http_options.retry = http::RetryPolicy::none();  // failover below is the only retrying
  http_ = std::make_unique<http::HttpClient>(http_options, log_);
}

std::vector<std::string> OpenSearchClient::base_urls() const { return bases_; }

http::Response OpenSearchClient::perform(const std::string& method, const std::string& path,
                                         std::string_view body, const std::string& query) {
  http::Request request;
  request.method = method;
  request.body = body;
  request.basic_auth = options_.auth;
  request.verify_tls = options_.verify_certs;
  if (!body.empty()) request.headers.emplace_back("Content-Type", "application/json");
  for (int attempt = 0;; ++attempt) {
    const std::string& base = bases_[next_.fetch_add(1, std::memory_order_relaxed) % bases_.size()];
    request.url = base + path + (query.empty() ? "" : "?" + query);
    const bool last = attempt >= options_.max_retries;
    try {
      http::Response response = http_->send(request);
      const auto& retry = options_.retry_on_status;
      if (!last && std::find(retry.begin(), retry.end(), response.status) != retry.end()) {
        log_.lazy(LogLevel::kWarning, [&] {
          return method + " " + request.url + " answered " + std::to_string(response.status) +
                 ", trying the next host";
        });
        continue;
      }
      return response;
    } catch (const Timeout& e) {
      if (last || !options_.retry_on_timeout) throw;
      log_.lazy(LogLevel::kWarning,
                [&] { return std::string(e.what()) + ", trying the next host"; });
    } catch (const ConnectionClosed& e) {
      if (last) throw;
      log_.lazy(LogLevel::kWarning,
                [&] { return std::string(e.what()) + ", trying the next host"; });
    }
  }
}

http::Response OpenSearchClient::exchange(const std::string& method, const std::string& url,
                                          std::string_view body, const http::HeaderList& headers,
                                          std::optional<std::chrono::milliseconds> timeout) {
  http::Request request;
  request.method = method;
  request.url = url;
  request.body = body;
  request.headers = headers;
  request.verify_tls = options_.verify_certs;
  request.timeout = timeout;
  return http_->send(request);
}

std::string OpenSearchClient::get_source(const std::string& index, const std::string& id) {
  if (index.empty()) throw InvalidArgument("OpenSearch index name must not be empty");
  if (id.empty()) throw InvalidArgument("OpenSearch document id must not be empty");
  http::Response response = perform("GET", document_path(index, "_source", id));
  if (response.status == 404) throw NotFound(std::move(response.body));
  if (response.status < 200 || response.status >= 300) {
    throw HttpStatusError(response.status, std::move(response.body));
  }
  return std::move(response.body);
}

std::string OpenSearchClient::index(const std::string& index, const std::string& id,
                                    std::string_view body_json, bool refresh) {
  if (index.empty()) throw InvalidArgument("OpenSearch index name must not be empty");
  if (id.empty()) throw InvalidArgument("OpenSearch document id must not be empty");
  http::Response response =
      perform("PUT", document_path(index, "_doc", id), body_json, refresh ? "refresh=true" : "");
  if (response.status == 404) throw NotFound(std::move(response.body));
  if (response.status < 200 || response.status >= 300) {
    throw HttpStatusError(response.status, std::move(response.body));
  }
  return std::move(response.body);
}

}  // namespace mosswork::core::search
