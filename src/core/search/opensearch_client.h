// The OpenSearch client of the core: document sources by index and id, and indexing for
// writers, over a host list with round-robin failover (opensearch-py's transport rules).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/log.h"
#include "core/http/http_client.h"

namespace mosswork::core::search {

struct OpenSearchHost {
  std::optional<std::string> scheme;  // "http" or "https"; none = by use_ssl
  std::string host;                   // name or address (IPv6 without brackets)
  int port = 9200;                    // TCP port
  std::string url_prefix;             // path prefix ("" or "/proxy")
};

// One address written as text, taken apart.
struct OpenSearchAddress {
  OpenSearchHost host;
  std::optional<http::BasicAuth> auth;  // credentials found before the host
};

// Parses "[scheme://][user[:password]@]host[:port][/prefix]". The credentials end at the last "@"
// (a password may hold "@", ":" and "/"; a user name may not hold ":"), and are taken as they
// are written (not percent-decoded). "https://" without a port means 443, otherwise 9200.
// Throws InvalidArgument for an empty host, a bad port or another scheme.
OpenSearchAddress parse_opensearch_address(std::string_view text);

struct OpenSearchOptions {
  std::vector<OpenSearchHost> hosts;                 // tried in turn
  std::optional<http::BasicAuth> auth;               // basic authentication for every host
  bool use_ssl = false;                              // https for hosts without a scheme
  bool verify_certs = true;                          // check certificates over https
  std::chrono::milliseconds timeout{10000};          // connect and read time-out per attempt
  int max_retries = 3;                               // further attempts, each on the next host
  std::vector<long> retry_on_status{502, 503, 504};  // statuses that move on to the next host
  bool retry_on_timeout = false;                     // whether a time-out moves on too
  std::size_t max_connections = 10;                  // pooled connections of this client
};

class OpenSearchClient {
 public:
  explicit OpenSearchClient(OpenSearchOptions options);
  OpenSearchClient(OpenSearchOptions options, Log& log);

  // The document's source as raw JSON text. A missing document or index throws NotFound (with
  // the server's answer as body); other refusals (401, 403, ...) HttpStatusError; unreachable
  // hosts ConnectionClosed or Timeout.
  std::string get_source(const std::string& index, const std::string& id);
  // Stores body_json as document `id` of `index`; returns the server's answer (JSON text).
  std::string index(const std::string& index, const std::string& id, std::string_view body_json,
                    bool refresh = false);
  // Any request; path starts with "/", query is appended as given ("a=1&b=2", no "?").
  http::Response perform(const std::string& method, const std::string& path,
                         std::string_view body = {}, const std::string& query = {});

  // One exchange with an absolute URL, without failover, credentials or status handling: for a
  // transport that picks hosts and reads answers itself. Over this client's pooled connections,
  // with its certificate check; timeout replaces the client's.
  http::Response exchange(const std::string& method, const std::string& url, std::string_view body,
                          const http::HeaderList& headers,
                          std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  const OpenSearchOptions& options() const noexcept { return options_; }
  // Base URL of each host ("http://127.0.0.1:9200" plus prefix).
  std::vector<std::string> base_urls() const;

 private:
  OpenSearchOptions options_;
  NullLog null_log_;
  Log& log_;
  std::vector<std::string> bases_;
  std::atomic<std::size_t> next_{0};
  std::unique_ptr<http::HttpClient> http_;
};

}  // namespace mosswork::core::search
