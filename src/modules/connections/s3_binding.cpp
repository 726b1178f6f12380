// The native object-store client under the published Minio, and the facts of an object.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "bridge/args.h"
#include "bridge/clients.h"
#include "bridge/errors.h"
#include "core/common/errors.h"
#include "core/http/body_source.h"
#include "core/http/streaming_response.h"
#include "modules/connections/http_binding.h"
#include "modules/connections/http_response.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace s3 = mosswork::core::s3;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

struct PyObjectStat {
  s3::ObjectStat stat;
};

// A streamed upload body read from a Python file object, taking the GIL for each read.
class PyFileBody final : public http::BodySource {
 public:
  PyFileBody(py::object data, std::uint64_t length) : data_(std::move(data)), length_(length) {
    if (py::hasattr(data_, "tell")) {
      try {
        py::object at = data_.attr("tell")();
        // A position that is not an integer means the body cannot be read again.
        if (PyLong_Check(at.ptr())) start_ = at.cast<long long>();
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
      // Any bytes-like answer (bytearray, memoryview), as bytes() takes it.
      if (!PyObject_CheckBuffer(chunk.ptr())) {
        throw core::TypeMismatch(std::string("data.read() must return bytes, not ") +
                                 Py_TYPE(chunk.ptr())->tp_name);
      }
      py::object copy = py::reinterpret_steal<py::object>(PyBytes_FromObject(chunk.ptr()));
      if (!copy) throw py::error_already_set();
      holder.assign(PyBytes_AS_STRING(copy.ptr()), PyBytes_GET_SIZE(copy.ptr()));
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

}  // namespace

void bind_s3(py::module_& m) {
  py::class_<PyObjectStat> stat_cls(m, "Object",
                                    "Facts of a stored object, as stat_object returns them.");
  py::class_<PyMinio> minio_cls(
      m, "_NativeMinio",
      "The native object-store client under the published Minio: its calls, reached through\n"
      "this class, answer with the native types; the verified download uses its core client.");

  stat_cls
      .def_property_readonly("bucket_name",
                             [](const PyObjectStat& o) { return o.stat.bucket_name; })
      .def_property_readonly("object_name",
                             [](const PyObjectStat& o) { return o.stat.object_name; })
      .def_property_readonly("size", [](const PyObjectStat& o) { return o.stat.size; })
      .def_property_readonly("etag", [](const PyObjectStat& o) { return o.stat.etag; })
      .def_property_readonly("content_type",
                             [](const PyObjectStat& o) { return o.stat.content_type; })
      .def_property_readonly(
          "last_modified", [](const PyObjectStat& o) { return to_datetime(o.stat.last_modified); })
      .def_property_readonly("version_id", [](const PyObjectStat& o) { return o.stat.version_id; })
      .def_property_readonly("metadata",
                             [](const PyObjectStat& o) {
                               py::dict d;
                               for (const auto& [k, v] : o.stat.metadata.items()) {
                                 d[py::str(k)] = py::str(v);
                               }
                               return d;
                             })
      .def("__repr__", [](const PyObjectStat& o) {
        return "Object(" + o.stat.bucket_name + "/" + o.stat.object_name +
               ", size=" + std::to_string(o.stat.size) + ", etag=" + o.stat.etag + ")";
      });

  minio_cls
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
                 http_client.is_none()
                     ? std::make_shared<http::HttpClient>()
                     : bridge::arg<const PyPoolManager&>(http_client, "http_client").client;
             return PyMinio{std::make_shared<s3::S3Client>(o, transport), ""};
           }),
           py::arg("endpoint"), py::arg("access_key") = py::none(),
           py::arg("secret_key") = py::none(), py::arg("secure") = false,
           py::arg("http_client") = py::none(), py::arg("region") = py::none())
      .def(
          "stat_object",
          [](const PyMinio& mc, const std::string& bucket, const std::string& name) {
            s3::S3Client& c = mc.get();
            return PyObjectStat{released(Domain::kS3, [&] { return c.stat_object(bucket, name); })};
          },
          py::arg("bucket_name"), py::arg("object_name"))
      .def(
          "get_object",
          [](const PyMinio& mc, const std::string& bucket, const std::string& name,
             std::uint64_t offset, std::uint64_t length) {
            s3::S3Client& c = mc.get();
            return PyHttpResponse(
                released(Domain::kS3, [&] { return c.get_object(bucket, name, offset, length); }),
                "");
          },
          py::arg("bucket_name"), py::arg("object_name"), py::arg("offset") = 0,
          py::arg("length") = 0)
      .def(
          "put_object",
          [](const PyMinio& mc, const std::string& bucket, const std::string& name, py::object data,
             std::uint64_t length, const std::string& content_type) {
            s3::S3Client& c = mc.get();
            if (PyBytes_Check(data.ptr())) {
              std::string bytes = data.cast<std::string>();
              return write_result(released(Domain::kS3, [&] {
                return c.put_object(bucket, name, std::string_view(bytes).substr(0, length),
                                    content_type);
              }));
            }
            PyFileBody body(data, length);
            return write_result(released(Domain::kS3, [&] {
              return c.put_object(bucket, name, body, length, content_type);
            }));
          },
          py::arg("bucket_name"), py::arg("object_name"), py::arg("data"), py::arg("length"),
          py::arg("content_type") = "application/octet-stream")
      .def(
          "fput_object",
          [](const PyMinio& mc, const std::string& bucket, const std::string& name,
             const std::filesystem::path& path, const std::string& content_type) {
            s3::S3Client& c = mc.get();
            return write_result(released(
                Domain::kS3, [&] { return c.fput_object(bucket, name, path, content_type); }));
          },
          py::arg("bucket_name"), py::arg("object_name"), py::arg("file_path"),
          py::arg("content_type") = "application/octet-stream")
      .def(
          "remove_object",
          [](const PyMinio& mc, const std::string& bucket, const std::string& name) {
            s3::S3Client& c = mc.get();
            released(Domain::kS3, [&] { c.remove_object(bucket, name); });
          },
          py::arg("bucket_name"), py::arg("object_name"))
      .def(
          "make_bucket",
          [](const PyMinio& mc, const std::string& bucket) {
            s3::S3Client& c = mc.get();
            released(Domain::kS3, [&] { c.make_bucket(bucket); });
          },
          py::arg("bucket_name"))
      .def(
          "bucket_exists",
          [](const PyMinio& mc, const std::string& bucket) {
            s3::S3Client& c = mc.get();
            return released(Domain::kS3, [&] { return c.bucket_exists(bucket); });
          },
          py::arg("bucket_name"));

  m.attr("Minio") = py::module_::import("mosswork_utils._http_clients")
                        .attr("published_minio")(minio_cls, m.attr("PoolManager"), m.attr("Retry"));
}

}  // namespace mosswork::connections
