// One HTTP exchange as a libcurl easy handle that an event-loop driver runs on its own multi
// handle.
#include "core/http/loop_transfer.h"

#include <algorithm>
#include <cctype>

#include "core/common/errors.h"
#include "core/http/curl_errors.h"

namespace mosswork::core::http::loop {
namespace {

void check(CURLcode code, const char* what) {
  if (code != CURLE_OK) throw Error(std::string(what) + ": " + curl_easy_strerror(code));
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

BufferedTransfer::BufferedTransfer(BufferedRequest request)
    : request_(std::move(request)), easy_(curl_easy_init()) {
  if (!easy_) throw Error("cannot create a libcurl handle");
  CURL* e = easy_.get();
  check(curl_easy_setopt(e, CURLOPT_URL, request_.url.c_str()), "URL");
  check(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
  check(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_buffer_), "ERRORBUFFER");
  check(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &BufferedTransfer::on_body), "WRITEFUNCTION");
  check(curl_easy_setopt(e, CURLOPT_WRITEDATA, this), "WRITEDATA");
  check(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &BufferedTransfer::on_header),
        "HEADERFUNCTION");
  check(curl_easy_setopt(e, CURLOPT_HEADERDATA, this), "HEADERDATA");
  check(curl_easy_setopt(e, CURLOPT_PRIVATE, this), "PRIVATE");
  if (request_.timeout.count() > 0) {
    check(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(request_.timeout.count())),
          "TIMEOUT_MS");
  }
  if (request_.connect_timeout.count() > 0) {
    check(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                           static_cast<long>(request_.connect_timeout.count())),
          "CONNECTTIMEOUT_MS");
  }
  if (!request_.verify) {
    check(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L), "SSL_VERIFYPEER");
    check(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L), "SSL_VERIFYHOST");
  }
  if (request_.basic_auth) {
    check(curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC), "HTTPAUTH");
    check(curl_easy_setopt(e, CURLOPT_USERNAME, request_.basic_auth->first.c_str()), "USERNAME");
    check(curl_easy_setopt(e, CURLOPT_PASSWORD, request_.basic_auth->second.c_str()), "PASSWORD");
  }
  const std::string& m = request_.method;
  if (m == "GET") {
    check(curl_easy_setopt(e, CURLOPT_HTTPGET, 1L), "HTTPGET");
  } else if (m == "HEAD") {
    check(curl_easy_setopt(e, CURLOPT_NOBODY, 1L), "NOBODY");
  } else {
    if (m != "POST") check(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m.c_str()), "CUSTOMREQUEST");
    check(curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(request_.body.size())),
          "POSTFIELDSIZE");
    check(curl_easy_setopt(e, CURLOPT_POSTFIELDS, request_.body.data()), "POSTFIELDS");
  }
  curl_slist* list = nullptr;
  // libcurl would otherwise announce "Expect: 100-continue" for larger bodies and wait for it.
  for (const std::string& line : request_.headers) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) {
      curl_slist_free_all(list);
      throw Error("cannot build the request headers");
    }
    list = grown;
  }
  if (curl_slist* grown = curl_slist_append(list, "Expect:")) list = grown;
  header_list_.reset(list);
  check(curl_easy_setopt(e, CURLOPT_HTTPHEADER, header_list_.get()), "HTTPHEADER");
}

size_t BufferedTransfer::on_body(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<BufferedTransfer*>(self);
  t->response_.body.append(data, size * count);
  return size * count;
}

size_t BufferedTransfer::on_header(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<BufferedTransfer*>(self);
  std::string_view line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    t->response_.headers.clear();  // a new response begins (after 100 Continue or a redirect)
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    t->response_.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                      std::string(trim(line.substr(colon + 1))));
  }
  return size * count;
}

void BufferedTransfer::finished(CURLcode code) {
  done_ = true;
  code_ = code;
  if (code == CURLE_OK) {
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &response_.status);
  } else {
    error_text_ = error_buffer_[0] ? error_buffer_ : curl_easy_strerror(code);
  }
}

BufferedResponse& BufferedTransfer::response() {
  if (!done_) throw Error("the transfer has not finished");
  if (code_ != CURLE_OK) throw_curl_error(code_, request_.method + " " + request_.url, error_text_);
  return response_;
}

}  // namespace mosswork::core::http::loop
