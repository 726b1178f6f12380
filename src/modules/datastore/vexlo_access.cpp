// What the datastore's vector-database functions share.
#include "modules/datastore/vexlo_access.h"

#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "bridge/text.h"
#include "core/http/headers.h"

namespace py = pybind11;

namespace mosswork::datastore {

std::string formatted(py::handle value) {
  py::str text = py::reinterpret_steal<py::str>(PyObject_Format(value.ptr(), nullptr));
  if (!text) throw py::error_already_set();
  return text.cast<std::string>();
}

core::vexlo::RestEndpoint vexlo_endpoint(py::handle m) {
  py::object get = m.attr("config").attr("get");
  core::vexlo::RestEndpoint endpoint;
  endpoint.host = formatted(get("vexlo_host"));
  endpoint.port = formatted(get("vexlo_port"));
  py::object key = get("vexlo_api_key");
  if (!key.is_none()) {
    std::string value = py::str(key).cast<std::string>();
    // A line break would start a header (or a request) of its own.
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      throw py::value_error("Invalid return character or NUL in header value: api-key");
    }
    endpoint.api_key = std::move(value);
  }
  return endpoint;
}

bridge::json::EncodedText json_body(py::handle value) {
  return std::move(bridge::json::encode(value, true).text);
}

py::str response_text(std::string_view body, std::string_view content_type) {
  std::string charset = core::vexlo::content_type_charset(content_type);
  if (!charset.empty() && charset != "utf-8" && charset != "utf8") {
    PyObject* text = PyUnicode_Decode(body.data(), static_cast<Py_ssize_t>(body.size()),
                                      charset.c_str(), "replace");
    if (text) return py::reinterpret_steal<py::str>(text);
    if (!PyErr_ExceptionMatches(PyExc_LookupError)) throw py::error_already_set();
    PyErr_Clear();  // an unknown charset: read it as UTF-8
  }
  return bridge::decode_utf8(body, "replace");
}

std::string content_type_of(const core::http::loop::BufferedResponse& response) {
  for (const auto& [name, value] : response.headers) {
    if (core::http::iequals(name, "Content-Type")) return value;
  }
  return {};
}

void raise_application_error(py::handle message) {
  py::object error = bridge::application_error_class()(message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

core::http::Response vexlo_send(const std::string& method, const std::string& url,
                                const core::http::HeaderList& headers, std::string_view body) {
  return bridge::released(bridge::Domain::kHttp,
                          [&] { return core::vexlo::rest_send(method, url, headers, body); });
}

py::str text_of(const core::http::Response& response) {
  return response_text(response.body, response.headers.get("Content-Type").value_or(""));
}

const core::http::loop::BufferedResponse& answer_of(core::http::loop::BufferedTransfer& transfer) {
  core::http::loop::BufferedResponse* response = nullptr;
  try {
    response = &transfer.response();
  } catch (...) {
    bridge::raise_python_error(std::current_exception(), bridge::Domain::kHttp);
  }
  if (response->status != 200) {
    raise_application_error(response_text(response->body, content_type_of(*response)));
  }
  return *response;
}

DocumentMaker::DocumentMaker()
    : cls_(py::module_::import("langchain_core.documents").attr("Document")),
      id_("id"),
      metadata_("metadata"),
      page_content_("page_content"),
      type_("type"),
      type_value_("Document"),
      dict_attr_("__dict__"),
      fields_set_attr_("__pydantic_fields_set__"),
      extra_attr_("__pydantic_extra__"),
      private_attr_("__pydantic_private__") {}

py::object DocumentMaker::operator()(py::handle page_content, py::handle metadata,
                                     bool copy_metadata) const {
  if (!PyUnicode_CheckExact(page_content.ptr()) || !PyDict_CheckExact(metadata.ptr())) {
    return cls_(py::arg("page_content") = page_content, py::arg("metadata") = metadata);
  }
  py::object meta = copy_metadata ? py::reinterpret_steal<py::object>(PyDict_Copy(metadata.ptr()))
                                  : py::reinterpret_borrow<py::object>(metadata);
  if (!meta) throw py::error_already_set();
  auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
  py::tuple no_args;
  py::object doc =
      py::reinterpret_steal<py::object>(PyBaseObject_Type.tp_new(type, no_args.ptr(), nullptr));
  if (!doc) throw py::error_already_set();
  // The fields in Document's own order, set as model_construct sets them (no validation).
  py::dict fields;
  fields[id_] = py::none();
  fields[metadata_] = meta;
  fields[page_content_] = page_content;
  fields[type_] = type_value_;
  py::set fields_set;
  fields_set.add(page_content_);
  fields_set.add(metadata_);
  if (PyObject_GenericSetAttr(doc.ptr(), dict_attr_.ptr(), fields.ptr()) != 0 ||
      PyObject_GenericSetAttr(doc.ptr(), fields_set_attr_.ptr(), fields_set.ptr()) != 0 ||
      PyObject_GenericSetAttr(doc.ptr(), extra_attr_.ptr(), Py_None) != 0 ||
      PyObject_GenericSetAttr(doc.ptr(), private_attr_.ptr(), Py_None) != 0) {
    throw py::error_already_set();
  }
  return doc;
}

}  // namespace mosswork::datastore
