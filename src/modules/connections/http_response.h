// The answer of the HTTP pool as urllib3's HTTPResponse offers it: read whole (preloaded) or
// pulled from the server in constant memory (streamed). Native get_object answers with it too.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "core/http/request.h"
#include "core/http/streaming_response.h"

namespace mosswork::connections {

class PyHttpResponse {
 public:
  // A response read to its end.
  PyHttpResponse(core::http::Response response, std::string url);
  // A streamed one; `request_body` is what the request points to, kept until the stream ends.
  PyHttpResponse(core::http::StreamingResponse response, std::string url,
                 std::shared_ptr<const std::string> request_body = nullptr);

  long status() const noexcept { return status_; }
  const std::string& reason() const noexcept { return reason_; }
  const std::string& url() const noexcept { return url_; }
  // urllib3's HTTPHeaderDict of the answer's headers, made once.
  pybind11::object headers();
  // The whole body: what was preloaded or cached, else the rest of the stream (then cached).
  pybind11::bytes data();
  // At most amt bytes (everything left for None); b"" at the end. cache_content keeps a whole
  // read for data.
  pybind11::bytes read(pybind11::object amt, bool cache_content);
  // Body bytes handed out so far.
  std::uint64_t tell() const noexcept;
  bool closed() const noexcept;
  void close() noexcept;

 private:
  long status_ = 0;
  std::string reason_;
  std::string url_;
  core::http::Headers header_list_;
  pybind11::object headers_;
  std::optional<core::http::StreamingResponse> stream_;
  std::shared_ptr<const std::string> request_body_;
  std::optional<std::string> body_;  // preloaded or cached body
  bool closed_ = false;
  std::uint64_t handed_out_ = 0;
};

// Binds HTTPResponse (also published as ObjectStream).
void bind_http_response(pybind11::module_& m);

}  // namespace mosswork::connections
