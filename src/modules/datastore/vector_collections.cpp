// The datastore's vector-database writes: collections, point upserts with their repair-and-resend,
// clean_json_data and payload updates.
#include <pybind11/pybind11.h>

#include <chrono>
#include <string>
#include <utility>

#include "bridge/asyncio.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "bridge/logger.h"
#include "bridge/text.h"
#include "core/vexlo/rest.h"
#include "modules/datastore/vexlo_access.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace vexlo = mosswork::core::vexlo;
using mosswork::core::LogLevel;

namespace mosswork::datastore {
namespace {

// The whole-exchange limit of the asynchronous writes, which set none of their own.
constexpr std::chrono::milliseconds kAsyncWriteTimeout{30000};

py::dict creation_body(py::handle vectors_config, py::handle shard_number,
                       py::handle replication_factor, py::handle optimizers_config,
                       py::handle sparse_vectors_configs) {
  py::dict body;
  body["vectors"] = vectors_config;
  if (PyObject_IsTrue(sparse_vectors_configs.ptr()) == 1) {
    body["sparse_vectors"] = sparse_vectors_configs;
  } else if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  body["shard_number"] = shard_number;
  body["replication_factor"] = replication_factor;
  body["optimizers_config"] = optimizers_config;
  return body;
}

// PUTs a serialised creation body and prints the answer, whatever its status.
void put_collection(const std::string& url, const http::HeaderList& headers,
                    std::string_view body) {
  http::Response response = vexlo_send("PUT", url, headers, body);
  py::print(text_of(response));
}

// True when a str holds a surrogate code point, which UTF-8 cannot carry.
bool has_surrogate(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

py::object clean(py::handle data) {
  PyObject* p = data.ptr();
  if (PyUnicode_Check(p)) {
    // encode("utf-8", "replace") then decode: only surrogates change (into "?").
    if (PyUnicode_CheckExact(p) && !has_surrogate(p)) return py::reinterpret_borrow<py::object>(p);
    py::object bytes =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(p, "utf-8", "replace"));
    if (!bytes) throw py::error_already_set();
    return bridge::decode_utf8(std::string_view(
        PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))));
  }
  const bool is_dict = PyDict_Check(p);
  const bool is_list = !is_dict && PyList_Check(p);
  if (!is_dict && !is_list) return py::reinterpret_borrow<py::object>(p);
  if (Py_EnterRecursiveCall(" while cleaning JSON data") != 0) throw py::error_already_set();
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  if (is_dict) {
    py::dict out;
    // Items are read through the mapping protocol, as a comprehension over .items() does.
    for (auto item : py::reinterpret_borrow<py::object>(p).attr("items")()) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      out[pair[0]] = clean(pair[1]);
    }
    return out;
  }
  py::list out;
  for (py::handle element : py::reinterpret_borrow<py::object>(p)) out.append(clean(element));
  return out;
}

py::dict points_body(py::handle points) {
  py::dict body;
  body["points"] = points;
  return body;
}

py::dict payload_body(py::handle key, py::handle value, py::handle points, py::handle filter) {
  py::dict body;
  body["payload"] = value;
  body["key"] = key;
  body["points"] = points;
  body["filter"] = filter;
  return body;
}

// A coroutine that serialises and POSTs body() at its first step: None for a 200 answer, else
// ApplicationError with the answer's text.
py::object post_later(py::handle m, const char* name, py::object collection, const char* suffix,
                      std::function<py::dict()> body) {
  py::object module = py::reinterpret_borrow<py::object>(m);
  return bridge::aio::deferred_coroutine(name, [module, name, collection, suffix, body] {
    vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
    std::string url = vexlo::collection_url(endpoint, formatted(collection), suffix);
    auto request = vexlo::rest_loop_request("POST", std::move(url), vexlo::rest_headers(endpoint),
                                            json_body(body()).str(), kAsyncWriteTimeout);
    return bridge::aio::http_coroutine(name, std::move(request),
                                       [](http::loop::BufferedTransfer& t) -> py::object {
                                         answer_of(t);
                                         return py::none();
                                       });
  });
}

}  // namespace

void bind_vector_collections(py::module_& m) {
  py::handle module = m;

  m.def(
      "collection_exists",
      [module](py::handle collection) -> py::object {
        vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
        std::string url = vexlo::collection_url(endpoint, formatted(collection), "/exists");
        http::Response response = vexlo_send("GET", url, vexlo::rest_headers(endpoint));
        if (response.status == 200) {
          py::object doc = bridge::json::loads_utf8(response.body);
          return doc[py::str("result")][py::str("exists")];
        }
        // http.client reads the status line as ISO-8859-1.
        py::str reason = py::reinterpret_steal<py::str>(PyUnicode_DecodeLatin1(
            response.reason.data(), static_cast<Py_ssize_t>(response.reason.size()), nullptr));
        if (!reason) throw py::error_already_set();
        py::str message =
            py::str("Failed to check collection existence - status code: {}, reason: {}")
                .format(response.status, reason);
        bridge::log_object(LogLevel::kError, message);
        raise_application_error(message);
      },
      py::arg("collection"),
      "The collection's \"exists\" flag. Raises ApplicationError (logged) for a status other\n"
      "than 200.");

  m.def(
      "get_collection",
      [module](py::handle collection_name) -> py::object {
        vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
        std::string url = vexlo::collection_url(endpoint, formatted(collection_name));
        http::Response response = vexlo_send("GET", url, vexlo::rest_headers(endpoint), "{}");
        if (response.status != 200) return py::none();
        return bridge::json::loads_utf8(response.body)[py::str("result")];
      },
      py::arg("collection_name"),
      "The collection's description (the answer's \"result\"), or None for a status other than "
      "200.");

  // create_collection and recreate_collection differ only in the DELETE that comes first.
  auto define_creation = [&m, module](const char* name, bool delete_first, const char* doc) {
    m.def(
        name,
        [module, delete_first](py::handle collection_name, py::handle vectors_config,
                               py::handle shard_number, py::handle replication_factor,
                               py::handle optimizers_config, py::handle sparse_vectors_configs) {
          // Serialised before any DELETE: a body that cannot be sent must not cost the
          // collection.
          bridge::json::EncodedText body =
              json_body(creation_body(vectors_config, shard_number, replication_factor,
                                      optimizers_config, sparse_vectors_configs));
          vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
          std::string url = vexlo::collection_url(endpoint, formatted(collection_name));
          http::HeaderList headers = vexlo::rest_headers(endpoint);
          if (delete_first) vexlo_send("DELETE", url, headers);  // whatever it answers
          put_collection(url, headers, body.view());
        },
        py::arg("collection_name"), py::arg("vectors_config"), py::arg("shard_number"),
        py::arg("replication_factor"), py::arg("optimizers_config"),
        py::arg("sparse_vectors_configs") = py::none(), doc);
  };
  define_creation("create_collection", false,
                  "PUTs the collection and prints the answer; the status is not examined.");
  define_creation("recreate_collection", true,
                  "DELETEs the collection (any answer), PUTs it again and prints the answer.");

  m.def(
      "upsert_sparse_vecotr",
      [module](py::handle collection, py::handle points) {
        vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
        std::string url = vexlo::collection_url(endpoint, formatted(collection), "/points");
        http::HeaderList headers = vexlo::rest_headers(endpoint);
        http::Response first;
        {
          bridge::json::EncodedText body = json_body(points_body(points));
          first = vexlo_send("PUT", url, headers, body.view());
        }  // the first body is freed before a cleaned one is made
        if (first.status == 200) return;
        bridge::log_object(LogLevel::kWarning,
                           py::str("API Error: ") + bridge::decode_utf8(first.body, "replace"));
        if (!vexlo::names_malformed_body(first.body)) raise_application_error(text_of(first));
        bridge::log_object(LogLevel::kInfo, py::str("Attempting to clean data and resend request"));
        bridge::json::EncodedText body = json_body(points_body(clean(points)));
        http::Response second = vexlo_send("PUT", url, headers, body.view());
        if (second.status != 200) raise_application_error(text_of(second));
      },
      py::arg("collection"), py::arg("points"),
      "PUTs the points. A rejection that names a JSON, syntax or format error is answered once\n"
      "with the cleaned points (clean_json_data). Raises ApplicationError with the last answer's\n"
      "text for a status other than 200.");

  m.def(
      "aupsert_sparse_vecotr",
      [module](py::object collection, py::object points) {
        return post_later(module, "aupsert_sparse_vecotr", collection, "/points",
                          [points] { return points_body(points); });
      },
      py::arg("collection"), py::arg("points"),
      "A coroutine that POSTs the points once; ApplicationError with the answer's text for a\n"
      "status other than 200.");

  m.def(
      "clean_json_data", [](py::handle data) { return clean(data); }, py::arg("data"),
      "A copy of data in which every lone surrogate of a str is replaced by \"?\"; dicts and\n"
      "lists are copied (keys untouched), every other value is returned as it is.");

  m.def(
      "set_payload_by_key",
      [module](py::handle collection, py::handle key, py::handle value, py::handle points,
               py::handle filter) {
        bridge::json::EncodedText body = json_body(payload_body(key, value, points, filter));
        vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
        std::string url = vexlo::collection_url(endpoint, formatted(collection), "/points/payload");
        http::Response response =
            vexlo_send("POST", url, vexlo::rest_headers(endpoint), body.view());
        if (response.status != 200) raise_application_error(text_of(response));
      },
      py::arg("collection"), py::arg("key"), py::arg("value"), py::arg("points") = py::none(),
      py::arg("filter") = py::none(),
      "POSTs {payload, key, points, filter}; ApplicationError with the answer's text for a\n"
      "status other than 200.");

  m.def(
      "aset_payload_by_key",
      [module](py::object collection, py::object key, py::object value, py::object points,
               py::object filter) {
        return post_later(
            module, "aset_payload_by_key", collection, "/points/payload",
            [key, value, points, filter] { return payload_body(key, value, points, filter); });
      },
      py::arg("collection"), py::arg("key"), py::arg("value"), py::arg("points"), py::arg("filter"),
      "A coroutine doing what set_payload_by_key does.");
}

}  // namespace mosswork::datastore
