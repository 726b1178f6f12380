// Owners of libcurl's C handles, and the global initialisation libcurl needs once per process.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace mosswork::core::http {

struct CurlEasyDeleter {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* h) const noexcept { curl_multi_cleanup(h); }
};
struct CurlShareDeleter {
  void operator()(CURLSH* h) const noexcept { curl_share_cleanup(h); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlSharePtr = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Runs curl_global_init once; every handle maker calls it first.
void ensure_curl_initialised();

// Appends one "Name: value" line; throws std::bad_alloc when libcurl cannot.
void slist_append(CurlSlistPtr& list, const char* line);

}  // namespace mosswork::core::http
