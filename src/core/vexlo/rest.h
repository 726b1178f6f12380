// The vector database's REST exchanges as the datastore helpers make them: base URL and headers
// rebuilt from configuration values at every call, one fresh connection per blocking call.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/headers.h"
#include "core/http/loop_transfer.h"
#include "core/http/request.h"

namespace mosswork::core::vexlo {

// Where and how to reach the database, read from configuration for one call.
struct RestEndpoint {
  std::string host;                    // the configured host, formatted as text
  std::string port;                    // the configured port, formatted as text
  std::optional<std::string> api_key;  // none: no "api-key" header is sent
};

// "http://" + host + ":" + port.
std::string rest_base_url(const RestEndpoint& endpoint);

// base + "/collections/" + collection + suffix. Bytes that may not stand in a URL (space, quotes,
// braces, non-ASCII) are percent-encoded; everything else goes out as given.
std::string collection_url(const RestEndpoint& endpoint, std::string_view collection,
                           std::string_view suffix = {});

// "accept" and "Content-Type" (both application/json), then "api-key", in this order.
http::HeaderList rest_headers(const RestEndpoint& endpoint);

// One blocking exchange on a connection of its own: no time-out, no retry, no certificate check.
// The body is sent from where it lies (not copied). Every status is returned; transport failures
// throw ConnectionClosed, Timeout or InvalidArgument.
http::Response rest_send(const std::string& method, const std::string& url,
                         const http::HeaderList& headers, std::string_view body = {});

// The same exchange for an event-loop driver; the body is moved in, and `timeout` bounds the whole
// exchange (zero: none).
http::loop::BufferedRequest rest_loop_request(std::string method, std::string url,
                                              const http::HeaderList& headers, std::string body,
                                              std::chrono::milliseconds timeout);

// Whether a rejection's text names a malformed body: "format error", "json" or "syntax" in any
// letter case.
bool names_malformed_body(std::string_view error_text);

// The charset parameter of a Content-Type value, lower-cased, unquoted; empty when there is none.
std::string content_type_charset(std::string_view content_type);

}  // namespace mosswork::core::vexlo
