// libcurl result codes: how a failure counts for retrying, and the one mapping onto core errors.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

#include "core/http/retry.h"

namespace mosswork::core::http {

// How a failed transfer counts for retrying. `request_started` tells whether the connection was
// established and the request handed to it.
FailureKind classify_curl_failure(CURLcode code, bool request_started) noexcept;

// Throws the core error a libcurl code stands for: connect failures and broken connections
// become ConnectionClosed, time-outs Timeout, bad URLs InvalidArgument, malformed replies
// ProtocolError. `context` says what was being done; `detail` is libcurl's error buffer.
[[noreturn]] void throw_curl_error(CURLcode code, std::string_view context,
                                   std::string_view detail);

// Same for the multi interface.
[[noreturn]] void throw_curl_multi_error(CURLMcode code, std::string_view context);

}  // namespace mosswork::core::http
