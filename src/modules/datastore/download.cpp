// download_from_minio: the verified object download over the shared object-store client.
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "bridge/clients.h"
#include "bridge/errors.h"
#include "bridge/logger.h"
#include "core/s3/verified_download.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
namespace s3 = mosswork::core::s3;

namespace mosswork::datastore {
namespace {

std::string text_argument(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string("download_from_minio() argument '") + name +
                         "' must be str, not " + Py_TYPE(value.ptr())->tp_name);
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
  if (!s) throw py::error_already_set();
  return std::string(s, static_cast<std::size_t>(n));
}

}  // namespace

void bind_download(py::module_& m) {
  m.def(
      "download_from_minio",
      [](py::object bucket, py::object object_name, py::object doc_name) -> py::object {
        std::string b = text_argument(bucket, "bucket");
        std::string key = text_argument(object_name, "objectName");
        std::string doc = text_argument(doc_name, "doc_name");
        // The module's minio_client, looked up at each call as a module global would be.
        py::object client_object =
            py::module_::import("mosswork_utils.datastore").attr("minio_client");
        s3::VerifiedDownloadOptions options;
        std::shared_ptr<s3::S3Client> client;
        if (client_object.is_none()) {
          options.missing_client_text = "'NoneType' object has no attribute 'stat_object'";
        } else {
          py::object minio_type = py::module_::import("mosswork_utils.connections").attr("Minio");
          if (!py::isinstance(client_object, minio_type)) {
            throw py::type_error(std::string("datastore.minio_client must be a connections.Minio "
                                             "client, not ") +
                                 Py_TYPE(client_object.ptr())->tp_name);
          }
          const auto& minio = client_object.cast<const connections::PyMinio&>();
          client = minio.client;
          if (!client) options.missing_client_text = minio.missing;
        }
        std::optional<std::string> path = released(Domain::kGeneric, [&] {
          return s3::download_verified(client.get(), b, key, doc, bridge::py_log(), options);
        });
        if (!path) return py::none();
        return decode(*path);
      },
      py::arg("bucket"), py::arg("objectName"), py::arg("doc_name"),
      "Downloads the object into this process's tree under /tmp/minio_downloads/, checked by size "
      "and MD5 and made twice, and returns the local path; None when it cannot be had.");
}

}  // namespace mosswork::datastore
