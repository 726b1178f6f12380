// Text of stored PDF and DOCX documents, whole objects in memory, and full texts from OpenSearch.
#include "modules/datastore/documents.h"

#include <exception>
#include <string>
#include <string_view>

#include "bridge/errors.h"
#include "bridge/logger.h"
#include "bridge/text.h"
#include "core/common/log.h"
#include "core/documents/docx_text.h"
#include "core/documents/pdf_text.h"

namespace py = pybind11;
namespace documents = mosswork::core::documents;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
using mosswork::core::LogLevel;

namespace mosswork::datastore {
namespace {

constexpr const char* kPdfMime = "application/pdf";
constexpr const char* kDocxMime =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document";

enum class Kind { kPdf, kDocx };

void require_text(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string(name) + " must be str, not " + Py_TYPE(value.ptr())->tp_name);
  }
}

// The text of one local file, read with the GIL released; core failures come back as the
// Python errors the bridge maps them to.
py::str extract(Kind kind, py::handle path) {
  std::string p = bridge::fs_path(path);
  std::string text = released(Domain::kGeneric, [&] {
    return kind == Kind::kPdf ? documents::read_pdf_text(p) : documents::read_docx_text(p);
  });
  return bridge::decode_utf8(text, "replace");
}

void remove_if_exists(py::handle path) {
  py::module_ os = py::module_::import("os");
  if (py::bool_(os.attr("path").attr("exists")(path))) os.attr("remove")(path);
}

// The reader for a downloaded file: its lower-cased extension must be a supported one and the
// MIME type guessed from its name must be the one that extension stands for.
bool pick_kind(py::handle path, Kind& kind) {
  py::object mime = py::module_::import("mimetypes").attr("guess_type")(path)[py::int_(0)];
  py::object ext =
      py::module_::import("os").attr("path").attr("splitext")(path)[py::int_(1)].attr("lower")();
  const char* wanted = nullptr;
  if (ext.equal(py::str(".pdf"))) {
    kind = Kind::kPdf;
    wanted = kPdfMime;
  } else if (ext.equal(py::str(".docx"))) {
    kind = Kind::kDocx;
    wanted = kDocxMime;
  } else {
    return false;
  }
  return !mime.is_none() && mime.equal(py::str(wanted));
}

void close_quietly(py::handle response) {
  if (response.is_none()) return;
  try {
    response.attr("close")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

}  // namespace

void bind_documents(py::module_& m) {
  py::handle module = m;  // lives in sys.modules for the life of the process

  m.def(
      "read_minio_file_text",
      [module](py::handle bucket, py::handle object_name, py::handle doc_name) -> py::object {
        require_text(bucket, "bucket");
        require_text(object_name, "object_name");
        require_text(doc_name, "doc_name");
        // Looked up now: the download may be bound (or replaced) after this module loaded.
        py::object local = module.attr("download_from_minio")(bucket, object_name, doc_name);
        if (!py::bool_(local)) {
          py::str message =
              py::str("Failed to download file: {} from bucket: {}").format(doc_name, bucket);
          PyErr_SetObject(bridge::application_error_class().ptr(), message.ptr());
          throw py::error_already_set();
        }
        Kind kind;
        if (!pick_kind(local, kind)) return py::none();  // unsupported: the copy stays
        py::object result = py::none();
        try {
          try {
            result = extract(kind, local);
          } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            bridge::log_object(LogLevel::kError,
                               py::str("Error reading file content: {}").format(e.value()));
          }
        } catch (...) {
          remove_if_exists(local);
          throw;
        }
        remove_if_exists(local);
        return result;
      },
      py::arg("bucket"), py::arg("object_name"), py::arg("doc_name"),
      "Downloads the object, returns the text of a PDF or DOCX and deletes the local copy.\n\n"
      "None for another file type (the copy is kept) and for a file that cannot be read (logged).\n"
      "Raises TypeError for an argument that is not a str, ApplicationError when the download\n"
      "gives nothing, and the download's ValueError for a path that is too long.");

  m.def(
      "download_as_bytesio",
      [module](py::object bucket_name, py::object object_name) -> py::object {
        py::object response = py::none();
        try {
          response = module.attr("minio_client").attr("get_object")(bucket_name, object_name);
          py::object file_data = py::module_::import("io").attr("BytesIO")(response.attr("read")());
          file_data.attr("seek")(0);
          close_quietly(response);
          return file_data;
        } catch (py::error_already_set& e) {
          close_quietly(response);
          if (!e.matches(PyExc_Exception)) throw;
          py::object logger = bridge::service_logger();
          if (e.matches(bridge::exception_class("S3Error"))) {
            logger.attr("error")("MinIO S3Error:", e.value());
          } else {
            logger.attr("error")("General Exception:", e.value());
          }
          return py::none();
        }
      },
      py::arg("bucket_name"), py::arg("object_name"),
      "The whole object in an io.BytesIO at position 0; None (logged) on any error.");

  m.def(
      "get_doc_fulltext_opensearch",
      [module](py::handle doc_id) -> py::object {
        require_text(doc_id, "doc_id");
        py::object index_name = module.attr("config").attr("get")("opensearch_index");
        try {
          py::object source =
              module.attr("opensearch_client")
                  .attr("get_source")(py::arg("index") = index_name,
                                      py::arg("id") = py::str("document_") +
                                                      py::reinterpret_borrow<py::str>(doc_id));
          return source[py::str("document_plaintext")];
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;
          bridge::log_object(LogLevel::kError,
                             py::str("opensearch Exception:{}").format(e.value()));
          return py::none();
        }
      },
      py::arg("doc_id"),
      "The document's document_plaintext from the full-text index; None (logged) when it cannot\n"
      "be read. Raises TypeError when doc_id is not a str.");

  m.def(
      "_read_document_text",
      [](py::handle path) -> py::object {
        Kind kind;
        if (!pick_kind(path, kind)) return py::none();
        return extract(kind, path);
      },
      py::arg("path"),
      "The text read_minio_file_text gives for a local file, without download or deletion; errors "
      "are raised.");
}

}  // namespace mosswork::datastore
