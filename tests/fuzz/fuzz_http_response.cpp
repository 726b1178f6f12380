// The transport's response handling over raw bytes from a loopback server: status line, header
// lines (folded, repeated, Content-Length), 1xx answers, chunked bodies and their trailers, bodies
// cut short, Retry-After. The same bytes are read several ways, which must agree:
//   - send(): the whole response, no retries;
//   - open(): the streamed response, pulled in odd-sized pieces through a small buffer (so that
//     libcurl is paused and resumed), must give the same status, headers and body, or fail alike;
//   - the event-loop drivers' buffered transfer: the same status and body, or failing alike;
//   - send() and open() with a retry policy and raise_for_status: a retried status fails with
//     HttpStatusError once the retry is spent, another error status too, anything else as above;
//   - HEAD: headers only.
// Every failure must be a core error; anything else (or a hang) is a fault.
#include <curl/curl.h>

#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "core/http/loop_transfer.h"
#include "core/http/retry.h"
#include "fuzz_loopback.h"
#include "fuzz_support.h"

namespace http = mosswork::core::http;
namespace core = mosswork::core;
using mosswork::fuzz::require;
using mosswork::fuzz::show;

namespace {

// What one way of reading the response gave: the response, or the kind of error.
struct Outcome {
  std::string error;  // typeid name of the core error; empty when it succeeded
  std::string what;
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::optional<long> error_status;  // HttpStatusError's status
};

std::string describe(const Outcome& o) {
  if (!o.error.empty()) return o.error + ": " + o.what;
  std::string text = "status " + std::to_string(o.status) + ", " +
                     std::to_string(o.headers.size()) + " headers, body of " +
                     std::to_string(o.body.size()) + " bytes";
  for (const auto& [name, value] : o.headers) text += "\n    " + name + ": " + value;
  return text;
}

template <typename Run>
Outcome outcome_of(Run&& run) {
  Outcome out;
  try {
    run(out);
  } catch (const core::HttpStatusError& e) {
    out.error = typeid(e).name();
    out.what = e.what();
    out.error_status = e.status();
    out.body = e.body();
  } catch (const core::Error& e) {
    out.error = typeid(e).name();
    out.what = e.what();
  } catch (const std::exception& e) {
    require(false, "failures are core errors", std::string(typeid(e).name()) + ": " + e.what());
  }
  return out;
}

http::HttpClientOptions client_options(const http::RetryPolicy& retry) {
  http::HttpClientOptions options;
  options.max_connections = 2;
  options.connect_timeout = std::chrono::milliseconds(5000);
  options.read_timeout = std::chrono::milliseconds(5000);
  options.stream_buffer_bytes = 1;  // libcurl's largest piece, so that bodies above it pause
  options.retry = retry;
  return options;
}

// Statuses 500-504 retried once, no wait (a Retry-After is honoured up to a millisecond).
http::RetryPolicy retry_once() {
  http::RetryPolicy p;
  p.total = 1;
  p.backoff_factor = 0;
  p.retry_after_max = std::chrono::duration<double>(0.001);
  p.status_forcelist = {500, 502, 503, 504};
  return p;
}

http::Request get_request(const std::string& url, const char* method = "GET") {
  http::Request request;
  request.method = method;
  request.url = url;
  return request;
}

Outcome via_send(const http::RetryPolicy& retry, const http::Request& request) {
  return outcome_of([&](Outcome& out) {
    http::HttpClient client(client_options(retry));
    http::Response r = client.send(request);
    out.status = r.status;
    out.headers = r.headers.items();
    out.body = std::move(r.body);
  });
}

// Pulls the body in pieces whose sizes come from the input, mixing read_into and next_chunk.
Outcome via_stream(const http::RetryPolicy& retry, const http::Request& request,
                   std::string_view steps) {
  return outcome_of([&](Outcome& out) {
    http::HttpClient client(client_options(retry));
    http::StreamingResponse stream = client.open(request);
    out.status = stream.status();
    out.headers = stream.headers().items();
    std::vector<char> piece(70000);
    for (std::size_t i = 0;; ++i) {
      const unsigned step = steps.empty() ? 0 : static_cast<unsigned char>(steps[i % steps.size()]);
      if (step % 3 == 0) {
        std::string_view chunk = stream.next_chunk();
        if (chunk.empty()) break;
        out.body.append(chunk);
      } else {
        const std::size_t want = 1 + step * step;
        std::size_t got = stream.read_into(piece.data(), want);
        require(got <= want, "read_into fills at most what was asked");
        if (got == 0) break;
        out.body.append(piece.data(), got);
      }
    }
    require(stream.at_end(), "a stream read to its end says so");
    require(stream.bytes_read() == out.body.size(), "bytes_read counts what was read");
    // A 200 answer's body is as long as its Content-Length says (unless it is chunked).
    if (auto length = stream.content_length();
        length && out.status == 200 && !stream.headers().contains("Transfer-Encoding")) {
      require(*length == out.body.size(), "a body has its Content-Length", describe(out));
    }
  });
}

// The event-loop drivers' transfer, run to its end on the calling thread.
Outcome via_buffered(const std::string& url) {
  return outcome_of([&](Outcome& out) {
    http::loop::BufferedRequest request;
    request.url = url;
    request.timeout = std::chrono::milliseconds(5000);
    http::loop::BufferedTransfer transfer(std::move(request));
    // The transport's receive buffer: libcurl's verdict on some malformed header blocks depends
    // on where its reads end, which is not what is compared here.
    curl_easy_setopt(transfer.easy(), CURLOPT_BUFFERSIZE, 64L << 10);
    transfer.finished(curl_easy_perform(transfer.easy()));
    http::loop::BufferedResponse& r = transfer.response();
    out.status = r.status;
    out.headers = r.headers;
    out.body = std::move(r.body);
  });
}

void require_same(const Outcome& a, const Outcome& b, const char* property, bool with_headers) {
  bool same = a.error == b.error;
  if (same && a.error.empty()) {
    same = a.status == b.status && a.body == b.body && (!with_headers || a.headers == b.headers);
  }
  require(same, property, describe(a) + "\n  against\n  " + describe(b));
}

// What send() or open() with retry_once() must give, from the plain answer: a status that is
// retried (500, 502, 503, 504; 413, 429 and 503 with a Retry-After) fails with HttpStatusError
// and the body once the retry is spent, and so does any status from 400 up with
// raise_for_status; anything else is the plain answer. A stream knows its status before its
// body: an error status whose body then fails may give HttpStatusError where send() failed in
// transport.
void require_retried(const Outcome& plain, const Outcome& retried, bool raise_for_status,
                     bool streamed, const char* property) {
  if (!plain.error.empty()) {
    if (streamed && retried.error_status) return;
    return require_same(plain, retried, property, true);
  }
  bool has_retry_after = false;
  for (const auto& [name, value] : plain.headers) {
    has_retry_after = has_retry_after || http::iequals(name, "Retry-After");
  }
  const long s = plain.status;
  const bool retried_status =
      s == 500 || s == 502 || s == 503 || s == 504 || (has_retry_after && (s == 413 || s == 429));
  if (retried_status || (raise_for_status && s >= 400)) {
    require(retried.error_status == plain.status && retried.body == plain.body, property,
            describe(plain) + "\n  against\n  " + describe(retried));
  } else {
    require_same(plain, retried, property, true);
  }
}

// Retry-After values: a wait in (0, the ceiling], or none; never an exception.
void check_retry_after(std::string_view value) {
  http::RetryPolicy policy;
  http::RetryState state(policy);
  std::optional<std::chrono::duration<double>> wait;
  try {
    wait = state.retry_after(value);
  } catch (const std::exception& e) {
    require(false, "a Retry-After value never throws", std::string(value) + ": " + e.what());
  }
  if (wait) {
    require(wait->count() > 0 && wait->count() <= policy.retry_after_max.count(),
            "a Retry-After wait is positive and capped", value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  auto& server = mosswork::fuzz::answer_with(raw);
  const std::string url = server.url("/fuzz?q=1");

  const Outcome plain = via_send(http::RetryPolicy::none(), get_request(url));
  const Outcome streamed =
      via_stream(http::RetryPolicy::none(), get_request(url), raw.substr(0, 64));
  show("send", describe(plain));
  show("open", describe(streamed));
  require_same(plain, streamed, "send() and open() read the same response", true);
  const Outcome buffered = via_buffered(url);
  show("buffered", describe(buffered));
  require_same(plain, buffered, "the buffered transfer reads the same response", false);

  require_retried(plain, via_send(retry_once(), get_request(url)), false, false,
                  "send() with a retry");
  http::Request strict = get_request(url);
  strict.raise_for_status = true;
  require_retried(plain, via_stream(retry_once(), strict, raw.substr(raw.size() / 2, 16)), true,
                  true, "open() with a retry and raise_for_status");

  const Outcome head = via_send(http::RetryPolicy::none(), get_request(url, "HEAD"));
  if (head.error.empty()) require(head.body.empty(), "a HEAD answer has no body", describe(head));

  if (plain.error.empty()) {
    for (const auto& [name, value] : plain.headers) {
      if (http::iequals(name, "Retry-After")) check_retry_after(value);
    }
  }
  // The first line of the input as a Retry-After value too, whatever the answer was.
  check_retry_after(raw.substr(0, raw.find('\n')));
  return 0;
}
