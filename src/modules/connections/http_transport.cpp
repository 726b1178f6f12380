// Retry, PoolManager and its HTTPResponse: the shared HTTP transport, with the urllib3 interface
// minio-py drives (urlopen and the response's status, headers, data, read, stream). The published
// PoolManager also subclasses urllib3's (mosswork_utils/_http_clients.py), whose request() encodes
// fields and json and calls this urlopen.
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "bridge/args.h"
#include "bridge/clients.h"
#include "bridge/errors.h"
#include "bridge/text.h"
#include "modules/connections/http_binding.h"
#include "modules/connections/http_response.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {

PyHttpResponse::PyHttpResponse(http::Response response, std::string url)
    : status_(response.status),
      reason_(std::move(response.reason)),
      url_(std::move(url)),
      header_list_(std::move(response.headers)),
      body_(std::move(response.body)) {}

PyHttpResponse::PyHttpResponse(http::StreamingResponse response, std::string url,
                               std::shared_ptr<const std::string> request_body)
    : status_(response.status()),
      url_(std::move(url)),
      header_list_(response.headers()),
      stream_(std::move(response)),
      request_body_(std::move(request_body)) {}

py::object PyHttpResponse::headers() {
  if (!headers_) {
    headers_ = py::module_::import("urllib3").attr("HTTPHeaderDict")();
    py::object add = headers_.attr("add");
    for (const auto& [k, v] : header_list_.items()) {
      add(bridge::decode_latin1(k), bridge::decode_latin1(v));
    }
  }
  return headers_;
}

py::bytes PyHttpResponse::data() {
  if (body_) return py::bytes(*body_);
  if (!stream_ || closed_) return py::bytes("");
  return read(py::none(), true);
}

py::bytes PyHttpResponse::read(py::object amt, bool cache_content) {
  // A preloaded body was handed out through data, as urllib3 does: nothing is left to read.
  if (!stream_ || closed_) return py::bytes("");
  long long n = amt.is_none() ? -1 : bridge::arg<long long>(amt, "amt");
  http::StreamingResponse& s = *stream_;
  if (n < 0) {
    std::string all = released(Domain::kPool, [&] { return s.read_all(); });
    handed_out_ += all.size();
    if (cache_content) body_ = all;
    return py::bytes(all);
  }
  std::string buffer(static_cast<std::size_t>(n), '\0');
  std::size_t got =
      released(Domain::kPool, [&] { return s.read_into(buffer.data(), buffer.size()); });
  buffer.resize(got);
  handed_out_ += got;
  return py::bytes(buffer);
}

std::uint64_t PyHttpResponse::tell() const noexcept { return handed_out_; }

bool PyHttpResponse::closed() const noexcept { return closed_ || !stream_ || stream_->closed(); }

void PyHttpResponse::close() noexcept {
  if (stream_) stream_->close();
  closed_ = true;
}

namespace {

// A request body as urllib3 takes one: bytes-like or text (sent as UTF-8).
std::shared_ptr<const std::string> body_of(py::handle body) {
  if (body.is_none()) return nullptr;
  if (PyBytes_Check(body.ptr()))
    return std::make_shared<const std::string>(body.cast<std::string>());
  if (PyUnicode_Check(body.ptr()))
    return std::make_shared<const std::string>(body.cast<std::string>());
  if (PyObject_CheckBuffer(body.ptr())) {
    py::object copy = py::reinterpret_steal<py::object>(PyBytes_FromObject(body.ptr()));
    if (!copy) throw py::error_already_set();
    return std::make_shared<const std::string>(copy.cast<std::string>());
  }
  bridge::raise_argument_type(body, "body", "bytes, a bytes-like object, str or None");
}

// Header names and values as text; HTTPHeaderDict.items() gives a repeated name once a value.
http::HeaderList headers_of(py::handle headers) {
  http::HeaderList out;
  if (headers.is_none()) return out;
  for (py::handle item : headers.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    out.emplace_back(str_of(kv[0]), str_of(kv[1]));
  }
  return out;
}

// A time-out as urllib3 takes one: seconds, or a Timeout (its read time-out, else its total).
std::optional<std::chrono::milliseconds> timeout_of(py::handle timeout) {
  if (timeout.is_none()) return std::nullopt;
  if (PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr())) {
    return seconds_to_ms(bridge::arg<double>(timeout, "timeout"));
  }
  py::object t = py::getattr(timeout, "read_timeout", py::none());
  if (t.is_none() || !(PyFloat_Check(t.ptr()) || PyLong_Check(t.ptr())))
    t = py::getattr(timeout, "total", py::none());
  if (t.is_none()) return std::nullopt;
  return seconds_to_ms(bridge::arg<double>(t, "timeout"));
}

PyHttpResponse urlopen(const PyPoolManager& pool, const std::string& method, const std::string& url,
                       py::handle body, py::handle headers, bool preload_content,
                       py::handle timeout) {
  auto bytes = body_of(body);
  http::Request request;
  request.method = method;
  std::transform(request.method.begin(), request.method.end(), request.method.begin(), ::toupper);
  request.url = url;
  request.headers = headers_of(headers);
  if (bytes) request.body = *bytes;
  request.timeout = timeout_of(timeout);
  http::HttpClient& client = *pool.client;
  try {
    if (preload_content) {
      return PyHttpResponse(released(Domain::kPool, [&] { return client.send(request); }), url);
    }
    return PyHttpResponse(released(Domain::kPool, [&] { return client.open(request); }), url,
                          std::move(bytes));
  } catch (py::error_already_set& e) {
    // The translator does not know the URL; urllib3 names it in the text.
    py::object max_retry = py::module_::import("urllib3.exceptions").attr("MaxRetryError");
    if (!e.matches(max_retry)) throw;
    py::object error = max_retry(py::none(), url, e.value().attr("reason"));
    PyErr_SetObject(max_retry.ptr(), error.ptr());
    throw py::error_already_set();
  }
}

// The urlopen keywords that are accepted and have no effect here: the body is never compressed
// (no Accept-Encoding is sent), and every answer is read whole or streamed as asked.
void check_keywords(const py::kwargs& kw) {
  for (auto [k, v] : kw) {
    std::string name = str_of(k);
    if (name == "decode_content" || name == "release_conn") continue;
    throw py::type_error("urlopen() got an unexpected keyword argument '" + name + "'");
  }
}

}  // namespace

void bind_http_response(py::module_& m) {
  py::class_<PyHttpResponse> cls(
      m, "HTTPResponse",
      "An answer of the HTTP pool, as urllib3's HTTPResponse: read whole or streamed.");
  cls.def_property_readonly("status", &PyHttpResponse::status)
      .def_property_readonly("reason", &PyHttpResponse::reason)
      .def_property_readonly("url", &PyHttpResponse::url)
      .def_property_readonly("headers", &PyHttpResponse::headers)
      .def_property_readonly("data", &PyHttpResponse::data)
      .def(
          "read",
          [](PyHttpResponse& r, py::object amt, py::object /*decode_content*/, bool cache_content) {
            return r.read(amt, cache_content);
          },
          py::arg("amt") = py::none(), py::arg("decode_content") = py::none(),
          py::arg("cache_content") = false)
      .def(
          "stream",
          [](py::object self, py::object amt, py::object /*decode_content*/) {
            // Pieces of at most amt bytes until the body ends.
            py::object read = self.attr("read");
            return py::module_::import("builtins")
                .attr("iter")(py::cpp_function([read, amt]() { return read(amt); }), py::bytes(""));
          },
          py::arg("amt") = 64 * 1024, py::arg("decode_content") = py::none())
      .def(
          "getheader",
          [](PyHttpResponse& r, py::object name, py::object fallback) {
            return r.headers().attr("get")(name, fallback);
          },
          py::arg("name"), py::arg("default") = py::none())
      .def("tell", &PyHttpResponse::tell)
      .def("close", &PyHttpResponse::close)
      .def("release_conn", &PyHttpResponse::close)
      .def("drain_conn", &PyHttpResponse::close)
      .def_property_readonly("closed", &PyHttpResponse::closed)
      .def_property_readonly("bytes_read", &PyHttpResponse::tell)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyHttpResponse& r, py::args) { r.close(); })
      .def("__repr__", [](const PyHttpResponse& r) {
        return "<HTTPResponse [" + std::to_string(r.status()) + "]>";
      });
  m.attr("ObjectStream") = cls;
}

void bind_transport(py::module_& m) {
  py::class_<PyRetry> retry_cls(m, "Retry",
                                "The retry policy of the HTTP pool, as urllib3's Retry.");
  py::class_<PyPoolManager> pool_cls(
      m, "_NativePoolManager",
      "A thread- and fork-safe pool of HTTP connections with a retry policy; urlopen and request\n"
      "as urllib3's PoolManager offers them.");
  bind_http_response(m);

  retry_cls
      .def(py::init([](int total, double backoff_factor, py::object status_forcelist) {
             PyRetry r;
             r.policy.total = total;
             r.policy.backoff_factor = backoff_factor;
             r.policy.status_forcelist.clear();
             if (!status_forcelist.is_none()) {
               for (py::handle s : status_forcelist) {
                 r.policy.status_forcelist.push_back(bridge::arg<long>(s, "status_forcelist item"));
               }
             }
             return r;
           }),
           py::arg("total") = 10, py::arg("backoff_factor") = 0.0,
           py::arg("status_forcelist") = py::none())
      .def_property_readonly("total", [](const PyRetry& r) { return r.policy.total; })
      .def_property_readonly("backoff_factor",
                             [](const PyRetry& r) { return r.policy.backoff_factor; })
      .def_property_readonly("status_forcelist",
                             [](const PyRetry& r) { return r.policy.status_forcelist; })
      .def("__repr__",
           [](const PyRetry& r) { return "Retry(total=" + std::to_string(r.policy.total) + ")"; });

  pool_cls
      .def(py::init([](std::size_t maxsize, py::object retries, py::object timeout) {
             http::HttpClientOptions o;
             o.max_connections = maxsize;
             if (!retries.is_none())
               o.retry = bridge::arg<const PyRetry&>(retries, "retries").policy;
             std::optional<double> t;
             if (!timeout.is_none()) {
               t = bridge::arg<double>(timeout, "timeout");
               o.connect_timeout = seconds_to_ms(*t);
               o.read_timeout = seconds_to_ms(*t);
             }
             return PyPoolManager{std::make_shared<http::HttpClient>(o), maxsize, t};
           }),
           py::arg("maxsize") = 10, py::arg("retries") = py::none(),
           py::arg("timeout") = py::none())
      .def_readonly("maxsize", &PyPoolManager::maxsize)
      .def_property_readonly("timeout", [](const PyPoolManager& p) { return p.timeout; })
      .def(
          "urlopen",
          [](const PyPoolManager& p, const std::string& method, const std::string& url,
             py::object body, py::object headers, bool preload_content, py::object timeout,
             py::kwargs kw) {
            check_keywords(kw);
            return urlopen(p, method, url, body, headers, preload_content, timeout);
          },
          py::arg("method"), py::arg("url"), py::arg("body") = py::none(),
          py::arg("headers") = py::none(), py::arg("preload_content") = true,
          py::arg("timeout") = py::none())
      .def("connection_counts", [](const PyPoolManager& p) {
        auto s = p.client->stats();
        return py::make_tuple(s.pooled_connections, s.idle_connections);
      });
  m.attr("PoolManager") =
      py::module_::import("mosswork_utils._http_clients").attr("published_pool")(pool_cls);
}

}  // namespace mosswork::connections
