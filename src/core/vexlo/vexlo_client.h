// The vector database's REST client (what VexloClient does over HTTP): base URL from url, port
// and scheme, the "api-key" header, a time-out, filtered scrolls and any other request.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/log.h"
#include "core/http/http_client.h"
#include "core/http/loop_transfer.h"

namespace mosswork::core::vexlo {

struct VexloOptions {
  std::optional<std::string>
      url;  // "host", "host:port" or "scheme://host[:port][/prefix]"; none = localhost
  std::optional<int> port = 6333;                    // used when url names no port
  std::optional<std::string> api_key;                // sent as "api-key"
  std::optional<std::chrono::milliseconds> timeout;  // connect and read; none = 5 s
  std::optional<bool> https;         // scheme when url has none; none = https iff api_key
  bool verify = true;                // check certificates over https
  std::string prefix;                // path prefix when url has none
  std::size_t max_connections = 10;  // pooled connections of this client
};

// Base URL as the client package builds it: scheme://host:port/prefix.
std::string vexlo_base_url(const VexloOptions& options);

// The request path and JSON body of a scroll, for callers that send it themselves.
std::string scroll_path(const std::string& collection_name);
std::string scroll_body(long limit, const std::optional<std::string>& filter_json,
                        const std::optional<std::string>& offset_json);

class VexloClient {
 public:
  explicit VexloClient(VexloOptions options);
  VexloClient(VexloOptions options, Log& log);

  // POST /collections/{name}/points/scroll with {"limit", "filter" (when given), "offset" (when
  // given), "with_payload": true, "with_vector": false}; filter_json and offset_json are JSON text
  // put in as they are. Returns the raw answer, whose "result" holds "points" and
  // "next_page_offset". A status other than 200 throws HttpStatusError with the body.
  std::string scroll(const std::string& collection_name, long limit,
                     const std::optional<std::string>& filter_json = std::nullopt,
                     const std::optional<std::string>& offset_json = std::nullopt);

  // The same scroll as one buffered exchange, for a caller that runs it on an event loop: URL,
  // headers, body, time-out and certificate check as scroll() sends them.
  http::loop::BufferedRequest scroll_request(
      const std::string& collection_name, long limit,
      const std::optional<std::string>& filter_json = std::nullopt,
      const std::optional<std::string>& offset_json = std::nullopt) const;

  // The answer of a scroll: its body when the status is 200, else HttpStatusError with it.
  static std::string scroll_answer(long status, std::string body);

  // Any request under the base URL; path starts with "/". JSON bodies are sent as given with
  // Content-Type application/json. `headers` replaces the client's headers when given. The
  // status is returned, not raised.
  http::Response request(const std::string& method, const std::string& path,
                         std::optional<std::string_view> body_json = std::nullopt,
                         const std::optional<http::HeaderList>& headers = std::nullopt);

  const std::string& base_url() const noexcept { return base_url_; }
  const VexloOptions& options() const noexcept { return options_; }
  std::chrono::milliseconds timeout() const noexcept { return timeout_; }

 private:
  // Accept, Content-Type for a JSON body, and the api-key when there is one.
  http::HeaderList default_headers(bool json_body) const;

  VexloOptions options_;
  NullLog null_log_;
  Log& log_;
  std::string base_url_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<http::HttpClient> http_;
};

}  // namespace mosswork::core::vexlo
