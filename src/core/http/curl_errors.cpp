// The mapping of libcurl codes onto the core's error hierarchy, and their retry classes.
#include "core/http/curl_errors.h"

#include <mutex>
#include <new>

#include "core/common/errors.h"
#include "core/http/curl_handles.h"

namespace mosswork::core::http {
namespace {

// The handshake and certificate failures: retried as "other" errors, reported as a closed
// connection.
bool is_tls_failure(CURLcode code) noexcept {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

}  // namespace

void ensure_curl_initialised() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw Error("libcurl could not be initialised");
    }
  });
}

void slist_append(CurlSlistPtr& list, const char* line) {
  curl_slist* grown = curl_slist_append(list.get(), line);
  if (!grown) throw std::bad_alloc();
  if (!list) list.reset(grown);
}

FailureKind classify_curl_failure(CURLcode code, bool request_started) noexcept {
  if (is_tls_failure(code)) return FailureKind::kOther;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return FailureKind::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SEND_FAIL_REWIND:
      // Before the request was handed over nothing can have reached the server.
      return request_started ? FailureKind::kRead : FailureKind::kConnect;
    default:
      return FailureKind::kFatal;
  }
}

void throw_curl_error(CURLcode code, std::string_view context, std::string_view detail) {
  std::string text(context);
  text += ": ";
  text += detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail;
  if (is_tls_failure(code)) throw ConnectionClosed(text);
  switch (code) {
    case CURLE_OUT_OF_MEMORY:
      throw std::bad_alloc();
    case CURLE_OPERATION_TIMEDOUT:
      throw Timeout(text);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_FAIL_REWIND:  // a reused connection died and the body cannot be sent again
      throw ConnectionClosed(text);
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_NOT_BUILT_IN:
      throw InvalidArgument(text);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_TOO_MANY_REDIRECTS:
      throw ProtocolError(text);
    default:
      throw Error(text);
  }
}

void throw_curl_multi_error(CURLMcode code, std::string_view context) {
  std::string text(context);
  text += ": ";
  text += curl_multi_strerror(code);
  if (code == CURLM_OUT_OF_MEMORY) throw std::bad_alloc();
  throw Error(text);
}

}  // namespace mosswork::core::http
