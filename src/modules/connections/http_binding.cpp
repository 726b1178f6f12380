// Python face of the HTTP clients: Retry, PoolManager, Minio, OpenSearch and the vector database.
#include "modules/connections/http_binding.h"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/asyncio.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "core/common/errors.h"
#include "core/http/body_source.h"
#include "core/http/http_client.h"
#include "core/http/loop_transfer.h"
#include "core/http/retry.h"
#include "core/http/streaming_response.h"
#include "core/s3/s3_client.h"
#include "core/search/opensearch_client.h"
#include "core/vexlo/vexlo_client.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace s3 = mosswork::core::s3;
namespace search = mosswork::core::search;
namespace vexlo = mosswork::core::vexlo;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

std::string str_of(py::handle v) { return py::str(v).cast<std::string>(); }

// ---- Retry and PoolManager ---------------------------------------------------------------------

struct PyRetry {
  http::RetryPolicy policy;
};

struct PyPoolManager {
  std::shared_ptr<http::HttpClient> client;
  std::size_t maxsize;
  std::optional<double> timeout;
};

// ---- object store ------------------------------------------------------------------------------

struct PyObjectStat {
  s3::ObjectStat stat;
};

// A streamed object body: read() and stream() pull from the server in constant memory.
class PyObjectStream {
 public:
  explicit PyObjectStream(http::StreamingResponse response) : response_(std::move(response)) {}

  py::bytes read(py::object amt) {
    long long n = amt.is_none() ? -1 : amt.cast<long long>();
    if (n < 0) {
      auto all = released(Domain::kS3, [&] { return response_.read_all(); });
      return py::bytes(all);
    }
    std::string buffer(static_cast<std::size_t>(n), '\0');
    std::size_t got = released(Domain::kS3, [&] { return response_.read_into(buffer.data(), buffer.size()); });
    buffer.resize(got);
    return py::bytes(buffer);
  }

  void close() noexcept { response_.close(); }
  bool closed() const noexcept { return response_.closed(); }
  long status() const { return response_.status(); }
  py::dict headers() const {
    py::dict d;
    for (const auto& [k, v] : response_.headers().items()) d[py::str(k)] = py::str(v);
    return d;
  }
  std::uint64_t bytes_read() const noexcept { return response_.bytes_read(); }

 private:
  http::StreamingResponse response_;
};

// A streamed upload body read from a Python file object, taking the GIL for each read.
class PyFileBody final : public http::BodySource {
 public:
  PyFileBody(py::object data, std::uint64_t length) : data_(std::move(data)), length_(length) {
    if (py::hasattr(data_, "tell")) {
      try {
        start_ = data_.attr("tell")().cast<long long>();
      } catch (py::error_already_set&) {
        start_ = -1;
      }
    }
  }
  ~PyFileBody() override {
    py::gil_scoped_acquire gil;
    data_ = py::object();
  }
  std::uint64_t size() const override { return length_; }
  std::size_t read(char* dst, std::size_t n) override {
    py::gil_scoped_acquire gil;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, length_ - sent_));
    if (want == 0) return 0;
    py::object chunk = data_.attr("read")(want);
    std::string_view bytes;
    std::string holder;
    if (PyBytes_Check(chunk.ptr())) {
      bytes = std::string_view(PyBytes_AS_STRING(chunk.ptr()), PyBytes_GET_SIZE(chunk.ptr()));
    } else {
      holder = py::bytes(chunk).cast<std::string>();
      bytes = holder;
    }
    if (bytes.size() > want) throw core::InvalidArgument("read() returned more bytes than asked");
    std::memcpy(dst, bytes.data(), bytes.size());
    sent_ += bytes.size();
    if (bytes.empty()) throw core::InvalidArgument("the data ended before the given length");
    return bytes.size();
  }
  bool rewind() override {
    py::gil_scoped_acquire gil;
    if (start_ < 0) return false;
    data_.attr("seek")(start_);
    sent_ = 0;
    return true;
  }

 private:
  py::object data_;
  std::uint64_t length_;
  std::uint64_t sent_ = 0;
  long long start_ = -1;
};

py::object to_datetime(const std::optional<std::chrono::system_clock::time_point>& t) {
  if (!t) return py::none();
  double seconds = std::chrono::duration<double>(t->time_since_epoch()).count();
  py::object dt = py::module_::import("datetime");
  return dt.attr("datetime").attr("fromtimestamp")(seconds, dt.attr("timezone").attr("utc"));
}

py::object write_result(const s3::ObjectWriteResult& r) {
  py::object ns = py::module_::import("types").attr("SimpleNamespace");
  return ns(py::arg("bucket_name") = r.bucket_name, py::arg("object_name") = r.object_name,
            py::arg("etag") = r.etag,
            py::arg("version_id") = r.version_id ? py::object(py::str(*r.version_id)) : py::none());
}

// ---- OpenSearch --------------------------------------------------------------------------------

struct PyOpenSearch {
  std::shared_ptr<search::OpenSearchClient> client;
  py::object address;  // the URL-form address text, or None in the host-list form
  py::object hosts;    // the host list as given, or None
  bool use_ssl = false;
};

search::OpenSearchHost host_from(py::handle h) {
  if (PyUnicode_Check(h.ptr())) return search::parse_opensearch_address(str_of(h)).host;
  search::OpenSearchHost host;
  py::dict d = py::reinterpret_borrow<py::dict>(h);
  if (!d.contains("host")) throw py::value_error("an OpenSearch host needs a 'host' entry");
  host.host = str_of(d["host"]);
  if (d.contains("port")) host.port = py::int_(py::object(d["port"])).cast<int>();
  if (d.contains("scheme")) host.scheme = str_of(d["scheme"]);
  if (d.contains("url_prefix")) host.url_prefix = str_of(d["url_prefix"]);
  if (d.contains("use_ssl") && py::bool_(py::object(d["use_ssl"]))) host.scheme = "https";
  return host;
}

// ---- vector database ---------------------------------------------------------------------------

struct PyRecord {
  py::object id, payload, vector;
};

vexlo::VexloOptions vexlo_options(py::handle url, py::handle port, py::handle api_key,
                                  py::handle timeout, py::handle https, py::handle verify,
                                  py::handle prefix) {
  vexlo::VexloOptions o;
  if (!url.is_none()) o.url = str_of(url);
  if (port.is_none()) {
    o.port = std::nullopt;
  } else {
    o.port = py::int_(py::reinterpret_borrow<py::object>(port)).cast<int>();
  }
  if (!api_key.is_none()) o.api_key = str_of(api_key);
  if (!timeout.is_none()) o.timeout = millis(timeout.cast<double>());
  if (!https.is_none()) o.https = https.cast<bool>();
  o.verify = verify.is_none() ? true : verify.cast<bool>();
  if (!prefix.is_none()) o.prefix = str_of(prefix);
  return o;
}

std::optional<std::string> json_or_none(py::handle v) {
  if (v.is_none()) return std::nullopt;
  py::object value = py::reinterpret_borrow<py::object>(v);
  // Filter models of the vector database's client serialise themselves.
  if (!PyDict_Check(v.ptr()) && py::hasattr(value, "model_dump")) {
    value = value.attr("model_dump")(py::arg("exclude_none") = true);
  }
  return bridge::json::dumps_utf8(value, false);
}

// (records, next_page_offset) from a scroll answer.
py::tuple scroll_result(const std::string& body) {
  py::object doc = bridge::json::loads_utf8(body);
  py::dict result = doc["result"].cast<py::dict>();
  py::list records;
  for (py::handle p : result["points"]) {
    py::dict point = py::reinterpret_borrow<py::dict>(p);
    PyRecord r{point.contains("id") ? py::object(point["id"]) : py::none(),
               point.contains("payload") ? py::object(point["payload"]) : py::none(),
               point.contains("vector") ? py::object(point["vector"]) : py::none()};
    records.append(py::cast(std::move(r)));
  }
  py::object next = result.contains("next_page_offset") ? py::object(result["next_page_offset"])
                                                        : py::none();
  return py::make_tuple(records, next);
}

}  // namespace

void bind_http(py::module_& m) {
  py::class_<PyRetry>(m, "Retry", "The retry policy of the HTTP pool, as urllib3's Retry.")
      .def(py::init([](int total, double backoff_factor, py::object status_forcelist) {
             PyRetry r;
             r.policy.total = total;
             r.policy.backoff_factor = backoff_factor;
             r.policy.status_forcelist.clear();
             if (!status_forcelist.is_none()) {
               for (py::handle s : status_forcelist) r.policy.status_forcelist.push_back(s.cast<long>());
             }
             return r;
           }),
           py::arg("total") = 10, py::arg("backoff_factor") = 0.0,
           py::arg("status_forcelist") = py::none())
      .def_property_readonly("total", [](const PyRetry& r) { return r.policy.total; })
      .def_property_readonly("backoff_factor", [](const PyRetry& r) { return r.policy.backoff_factor; })
      .def_property_readonly("status_forcelist",
                             [](const PyRetry& r) { return r.policy.status_forcelist; })
      .def("__repr__", [](const PyRetry& r) {
        return "Retry(total=" + std::to_string(r.policy.total) + ")";
      });

  py::class_<PyPoolManager>(m, "PoolManager",
                            "A thread- and fork-safe pool of HTTP connections with a retry policy.")
      .def(py::init([](std::size_t maxsize, py::object retries, py::object timeout) {
             http::HttpClientOptions o;
             o.max_connections = maxsize;
             if (!retries.is_none()) o.retry = retries.cast<const PyRetry&>().policy;
             std::optional<double> t;
             if (!timeout.is_none()) {
               t = timeout.cast<double>();
               o.connect_timeout = millis(*t);
               o.read_timeout = millis(*t);
             }
             return PyPoolManager{std::make_shared<http::HttpClient>(o), maxsize, t};
           }),
           py::arg("maxsize") = 10, py::arg("retries") = py::none(), py::arg("timeout") = py::none())
      .def_readonly("maxsize", &PyPoolManager::maxsize)
      .def_property_readonly("timeout", [](const PyPoolManager& p) { return p.timeout; })
      .def("connection_counts", [](const PyPoolManager& p) {
        auto s = p.client->stats();
        return py::make_tuple(s.pooled_connections, s.idle_connections);
      });

  py::class_<PyObjectStat>(m, "Object", "Facts of a stored object, as stat_object returns them.")
      .def_property_readonly("bucket_name", [](const PyObjectStat& o) { return o.stat.bucket_name; })
      .def_property_readonly("object_name", [](const PyObjectStat& o) { return o.stat.object_name; })
      .def_property_readonly("size", [](const PyObjectStat& o) { return o.stat.size; })
      .def_property_readonly("etag", [](const PyObjectStat& o) { return o.stat.etag; })
      .def_property_readonly("content_type", [](const PyObjectStat& o) { return o.stat.content_type; })
      .def_property_readonly("last_modified",
                             [](const PyObjectStat& o) { return to_datetime(o.stat.last_modified); })
      .def_property_readonly("version_id", [](const PyObjectStat& o) { return o.stat.version_id; })
      .def_property_readonly("metadata",
                             [](const PyObjectStat& o) {
                               py::dict d;
                               for (const auto& [k, v] : o.stat.metadata.items()) d[py::str(k)] = py::str(v);
                               return d;
                             })
      .def("__repr__", [](const PyObjectStat& o) {
        return "Object(" + o.stat.bucket_name + "/" + o.stat.object_name +
               ", size=" + std::to_string(o.stat.size) + ", etag=" + o.stat.etag + ")";
      });

  py::class_<PyObjectStream>(m, "ObjectStream",
                             "The body of get_object, read from the store as it is consumed.")
      .def("read", &PyObjectStream::read, py::arg("amt") = py::none())
      .def(
          "stream",
          [](py::object self, std::size_t amt) {
            // A generator over the body in pieces of at most amt bytes.
            py::object read = self.attr("read");
            return py::module_::import("builtins")
                .attr("iter")(py::cpp_function([read, amt]() { return read(amt); }), py::bytes(""));
          },
          py::arg("amt") = 64 * 1024)
      .def("close", &PyObjectStream::close)
      .def("release_conn", &PyObjectStream::close)
      .def_property_readonly("closed", &PyObjectStream::closed)
      .def_property_readonly("status", &PyObjectStream::status)
      .def_property_readonly("headers", &PyObjectStream::headers)
      .def_property_readonly("bytes_read", &PyObjectStream::bytes_read)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyObjectStream& s, py::args) { s.close(); });

  py::class_<PyMinio>(m, "Minio", "An S3 object-store client (the minio-py calls the service uses).")
      .def(py::init([](py::object endpoint, py::object access_key, py::object secret_key,
                       bool secure, py::object http_client, py::object region) {
             if (endpoint.is_none() || str_of(endpoint).empty()) {
               return PyMinio{nullptr, "the object store is not configured: no endpoint"};
             }
             s3::S3ClientOptions o;
             o.endpoint = str_of(endpoint);
             if (!access_key.is_none()) o.access_key = str_of(access_key);
             if (!secret_key.is_none()) o.secret_key = str_of(secret_key);
             o.secure = secure;
             if (!region.is_none()) o.region = str_of(region);
             std::shared_ptr<http::HttpClient> transport =
                 http_client.is_none() ? std::make_shared<http::HttpClient>()
                                       : http_client.cast<const PyPoolManager&>().client;
             return PyMinio{std::make_shared<s3::S3Client>(o, transport), ""};
           }),
           py::arg("endpoint"), py::arg("access_key") = py::none(),
           py::arg("secret_key") = py::none(), py::arg("secure") = false,
           py::arg("http_client") = py::none(), py::arg("region") = py::none())
      .def("stat_object",
           [](const PyMinio& mc, const std::string& bucket, const std::string& name) {
             s3::S3Client& c = mc.get();
             return PyObjectStat{released(Domain::kS3, [&] { return c.stat_object(bucket, name); })};
           },
           py::arg("bucket_name"), py::arg("object_name"))
      .def("get_object",
           [](const PyMinio& mc, const std::string& bucket, const std::string& name,
              std::uint64_t offset, std::uint64_t length) {
             s3::S3Client& c = mc.get();
             return PyObjectStream(
                 released(Domain::kS3, [&] { return c.get_object(bucket, name, offset, length); }));
           },
           py::arg("bucket_name"), py::arg("object_name"), py::arg("offset") = 0,
           py::arg("length") = 0)
      .def("put_object",
           [](const PyMinio& mc, const std::string& bucket, const std::string& name, py::object data,
              std::uint64_t length, const std::string& content_type) {
             s3::S3Client& c = mc.get();
             if (PyBytes_Check(data.ptr())) {
               std::string bytes = data.cast<std::string>();
               return write_result(released(Domain::kS3, [&] {
                 return c.put_object(bucket, name, std::string_view(bytes).substr(0, length), content_type);
               }));
             }
             PyFileBody body(data, length);
             return write_result(released(Domain::kS3, [&] {
               return c.put_object(bucket, name, body, length, content_type);
             }));
           },
           py::arg("bucket_name"), py::arg("object_name"), py::arg("data"), py::arg("length"),
           py::arg("content_type") = "application/octet-stream")
      .def("fput_object",
           [](const PyMinio& mc, const std::string& bucket, const std::string& name,
              const std::filesystem::path& path, const std::string& content_type) {
             s3::S3Client& c = mc.get();
             return write_result(
                 released(Domain::kS3, [&] { return c.fput_object(bucket, name, path, content_type); }));
           },
           py::arg("bucket_name"), py::arg("object_name"), py::arg("file_path"),
           py::arg("content_type") = "application/octet-stream")
      .def("remove_object",
           [](const PyMinio& mc, const std::string& bucket, const std::string& name) {
             s3::S3Client& c = mc.get();
             released(Domain::kS3, [&] { c.remove_object(bucket, name); });
           },
           py::arg("bucket_name"), py::arg("object_name"))
      .def("make_bucket",
           [](const PyMinio& mc, const std::string& bucket) {
             s3::S3Client& c = mc.get();
             released(Domain::kS3, [&] { c.make_bucket(bucket); });
           },
           py::arg("bucket_name"))
      .def("bucket_exists",
           [](const PyMinio& mc, const std::string& bucket) {
             s3::S3Client& c = mc.get();
             return released(Domain::kS3, [&] { return c.bucket_exists(bucket); });
           },
           py::arg("bucket_name"));

  py::class_<PyOpenSearch>(m, "OpenSearch", "An OpenSearch client for document sources.")
      .def(py::init([](py::args positional, py::object hosts, py::object http_auth, bool use_ssl,
                       bool verify_certs, bool ssl_show_warn, double timeout) {
             (void)ssl_show_warn;  // no warnings are printed by this client
             search::OpenSearchOptions o;
             o.use_ssl = use_ssl;
             o.verify_certs = verify_certs;
             o.timeout = millis(timeout);
             PyOpenSearch out;
             out.use_ssl = use_ssl;
             out.address = py::none();
             out.hosts = py::none();
             if (positional.size() > 1) throw py::type_error("OpenSearch takes one address");
             if (positional.size() == 1) {
               // The address text keeps credentials unescaped; they are taken apart by the
               // parser and sent separately, never spliced into a URL.
               auto parsed = search::parse_opensearch_address(str_of(positional[0]));
               o.hosts.push_back(parsed.host);
               o.auth = parsed.auth;
               out.address = positional[0];
             } else if (!hosts.is_none()) {
               out.hosts = hosts;
               for (py::handle h : hosts) o.hosts.push_back(host_from(h));
             } else {
               o.hosts.push_back(search::OpenSearchHost{std::nullopt, "localhost", 9200, ""});
             }
             if (!http_auth.is_none()) {
               py::sequence pair = http_auth.cast<py::sequence>();
               if (py::len(pair) != 2) throw py::value_error("http_auth must be (user, password)");
               o.auth = http::BasicAuth{str_of(pair[0]), str_of(pair[1])};
             }
             out.client = std::make_shared<search::OpenSearchClient>(o);
             return out;
           }),
           py::arg("hosts") = py::none(), py::arg("http_auth") = py::none(),
           py::arg("use_ssl") = false, py::arg("verify_certs") = true,
           py::arg("ssl_show_warn") = true, py::arg("timeout") = 10.0)
      .def("get_source",
           [](const PyOpenSearch& c, const std::string& index, py::handle id) {
             std::string key = str_of(id);
             std::string body = released(Domain::kSearch, [&] { return c.client->get_source(index, key); });
             return bridge::json::loads_utf8(body);
           },
           py::arg("index"), py::arg("id"))
      .def("index",
           [](const PyOpenSearch& c, const std::string& index, py::handle body, py::handle id,
              bool refresh) {
             std::string json = bridge::json::dumps_utf8(body, false);
             std::string key = str_of(id);
             std::string answer =
                 released(Domain::kSearch, [&] { return c.client->index(index, key, json, refresh); });
             return bridge::json::loads_utf8(answer);
           },
           py::arg("index"), py::arg("body"), py::arg("id"), py::arg("refresh") = false)
      .def_readonly("address", &PyOpenSearch::address)
      .def_readonly("hosts", &PyOpenSearch::hosts)
      .def_readonly("use_ssl", &PyOpenSearch::use_ssl)
      .def("__repr__", [](const PyOpenSearch& c) {
        std::string bases;
        for (const auto& b : c.client->base_urls()) bases += (bases.empty() ? "" : ", ") + b;
        return "<OpenSearch([" + bases + "])>";
      });

  py::class_<PyRecord>(m, "Record", "One point of a scroll: its id and payload.")
      .def_readonly("id", &PyRecord::id)
      .def_readonly("payload", &PyRecord::payload)
      .def_readonly("vector", &PyRecord::vector)
      .def("__repr__", [](const PyRecord& r) {
        return "Record(id=" + py::repr(r.id).cast<std::string>() +
               ", payload=" + py::repr(r.payload).cast<std::string>() + ")";
      });

  auto init_args = [](auto& cls) {
    using Holder = std::shared_ptr<vexlo::VexloClient>;
    cls.def(py::init([](py::object url, py::object port, py::object api_key, py::object timeout,
                        py::object https, py::object verify, py::object prefix) {
              return Holder(std::make_shared<vexlo::VexloClient>(
                  vexlo_options(url, port, api_key, timeout, https, verify, prefix)));
            }),
            py::arg("url") = py::none(), py::arg("port") = 6333, py::arg("api_key") = py::none(),
            py::arg("timeout") = py::none(), py::arg("https") = py::none(),
            py::arg("verify") = true, py::arg("prefix") = py::none());
    cls.def_property_readonly("base_url", [](const vexlo::VexloClient& c) { return c.base_url(); });
  };

  py::class_<vexlo::VexloClient, std::shared_ptr<vexlo::VexloClient>> sync_cls(
      m, "VexloClient", "The vector database's client: filtered scrolls over its REST interface.");
  init_args(sync_cls);
  sync_cls.def(
      "scroll",
      [](vexlo::VexloClient& c, const std::string& collection_name, long limit,
         py::handle scroll_filter, py::handle offset) {
        auto filter = json_or_none(scroll_filter);
        auto off = json_or_none(offset);
        std::string body = released(Domain::kVexlo, [&] {
          return c.scroll(collection_name, limit, filter, off);
        });
        return scroll_result(body);
      },
      py::arg("collection_name"), py::arg("limit") = 10, py::arg("scroll_filter") = py::none(),
      py::arg("offset") = py::none(),
      "(records, next_page_offset) of the points matching scroll_filter, from offset on.");

  // The asynchronous client shares the configuration; its calls run on the event loop.
  struct AsyncVexlo {
    std::shared_ptr<vexlo::VexloClient> sync;
  };
  py::class_<AsyncVexlo>(m, "AsyncVexloClient",
                         "The vector database's asynchronous client: scroll is a coroutine run "
                         "on the running event loop.")
      .def(py::init([](py::object url, py::object port, py::object api_key, py::object timeout,
                       py::object https, py::object verify, py::object prefix) {
             return AsyncVexlo{std::make_shared<vexlo::VexloClient>(
                 vexlo_options(url, port, api_key, timeout, https, verify, prefix))};
           }),
           py::arg("url") = py::none(), py::arg("port") = 6333, py::arg("api_key") = py::none(),
           py::arg("timeout") = py::none(), py::arg("https") = py::none(),
           py::arg("verify") = true, py::arg("prefix") = py::none())
      .def_property_readonly("base_url", [](const AsyncVexlo& c) { return c.sync->base_url(); })
      .def(
          "scroll",
          [](const AsyncVexlo& c, const std::string& collection_name, long limit,
             py::handle scroll_filter, py::handle offset) {
            http::loop::BufferedRequest request;
            request.method = "POST";
            request.url = c.sync->base_url() + vexlo::scroll_path(collection_name);
            request.body = vexlo::scroll_body(limit, json_or_none(scroll_filter), json_or_none(offset));
            request.headers = {"Content-Type: application/json", "Accept: application/json"};
            const auto& o = c.sync->options();
            if (o.api_key) request.headers.push_back("api-key: " + *o.api_key);
            request.timeout = c.sync->timeout();
            request.verify = o.verify;
            return bridge::aio::http_coroutine(
                "AsyncVexloClient.scroll", std::move(request),
                [](http::loop::BufferedTransfer& t) -> py::object {
                  auto& r = t.response();
                  if (r.status != 200) {
                    bridge::raise_python_error(
                        std::make_exception_ptr(core::HttpStatusError(r.status, r.body)),
                        Domain::kVexlo);
                  }
                  return scroll_result(r.body);
                });
          },
          py::arg("collection_name"), py::arg("limit") = 10, py::arg("scroll_filter") = py::none(),
          py::arg("offset") = py::none());
}

}  // namespace mosswork::connections
