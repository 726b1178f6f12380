// OpenSearch's answers as the core's client reads them, served raw (the fuzz input) by a loopback
// server on two host entries: get_source and index give the body for a 2xx status, NotFound for
// 404, HttpStatusError otherwise (502-504 first move on to the next host, which answers the
// same); transport failures move on too and then fail as the transport's plain reading of the
// bytes fails. Only core errors.
#include <curl/curl.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "core/search/opensearch_client.h"
#include "fuzz_loopback.h"
#include "fuzz_support.h"

namespace core = mosswork::core;
namespace http = mosswork::core::http;
namespace search = mosswork::core::search;
using mosswork::fuzz::require;
using mosswork::fuzz::Result;
using mosswork::fuzz::result_of;

namespace {

void require_answer(const Result& plain, const std::optional<long>& status, const Result& got,
                    const char* call) {
  if (!status) return require(got.error == plain.error, "fails as the transport fails", call);
  if (*status >= 200 && *status < 300) {
    return require(got.error.empty() && got.text == plain.text, "a 2xx answer gives the body",
                   call);
  }
  require(got.status == *status && got.text == plain.text,
          "another status raises HttpStatusError with the body", call);
  require((*status == 404) == (got.error == typeid(core::NotFound).name()),
          "404, and only 404, is NotFound", call);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& server =
      mosswork::fuzz::answer_with(std::string_view(reinterpret_cast<const char*>(data), size));

  std::optional<long> status;
  const Result plain = result_of([&] {
    http::HttpClientOptions options;
    options.retry = http::RetryPolicy::none();
    http::HttpClient transport(options);
    http::Request request;
    request.url = server.url("/docs/_source/id-1");
    http::Response response = transport.send(request);
    status = response.status;
    return response.body;
  });

  search::OpenSearchOptions options;
  search::OpenSearchHost host;
  host.host = "127.0.0.1";
  host.port = server.port();
  options.hosts = {host, host};
  options.max_retries = 1;
  options.timeout = std::chrono::milliseconds(5000);
  search::OpenSearchClient client(options);
  require_answer(plain, status, result_of([&] { return client.get_source("docs", "id-1"); }),
                 "get_source");
  require_answer(plain, status,
                 result_of([&] { return client.index("docs", "id-1", R"({"title":"x"})", true); }),
                 "index");
  return 0;
}
