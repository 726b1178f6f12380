// One HTTP request as the transport takes it, and the whole response it gives back.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/body_source.h"
#include "core/http/headers.h"

namespace mosswork::core::http {

// Credentials sent as HTTP basic authentication, never as part of the URL.
struct BasicAuth {
  std::string user;      // user name, sent as is
  std::string password;  // password, sent as is (may hold ":", "@", "/")
};

// AWS signature version 4, computed by libcurl over the request it sends.
struct AwsSigV4 {
  std::string provider = "aws:amz:us-east-1:s3";  // provider1:provider2:region:service
  std::string access_key;                         // key id, the credential's first part
  std::string secret_key;                         // secret the signature is keyed with
};

struct Request {
  std::string method = "GET";           // request method, upper case
  std::string url;                      // absolute URL, path and query already encoded
  HeaderList headers;                   // extra headers, sent in this order
  std::string_view body;                // body bytes, kept alive by the caller for the call
  BodySource* body_source = nullptr;    // a streamed body instead of `body` (not owned)
  std::optional<BasicAuth> basic_auth;  // basic authentication, apart from the URL
  std::optional<AwsSigV4> sigv4;        // sign the request instead
  bool verify_tls = true;               // check the server's certificate and name
  bool raise_for_status = false;        // a final status >= 400 throws HttpStatusError
  std::optional<std::chrono::milliseconds>
      timeout;  // replaces the client's connect and read time-outs
};

// A response read to its end.
struct Response {
  long status = 0;     // final HTTP status
  Headers headers;     // headers of the final response
  std::string body;    // the whole body
  std::string reason;  // reason phrase of the final status line, as the server sent it
};

}  // namespace mosswork::core::http
