// The datastore's vector-database reads: ranked queries, scrolls through vexlo_client with their
// de-duplication, and document nodes.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <string>
#include <utility>

#include "bridge/args.h"
#include "bridge/asyncio.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "core/vexlo/rest.h"
#include "modules/datastore/vexlo_access.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace vexlo = mosswork::core::vexlo;

namespace mosswork::datastore {
namespace {

// Records per scroll request when everything is read.
constexpr long kScrollPage = 64;
// Records fetched to find one document node.
constexpr long kNodeScrollLimit = 4;

py::dict query_body(py::handle prefetch, py::handle query, py::handle using_, py::handle limit,
                    py::handle score_threshold, py::handle filter) {
  py::dict body;
  body["prefetch"] = prefetch;
  body["query"] = query;
  body["using"] = using_;
  body["limit"] = limit;
  body["with_payload"] = py::bool_(true);
  body["score_threshold"] = score_threshold;
  body["filter"] = filter;
  return body;
}

// [(Document, score), ...] of a query answer, in the server's order.
py::list hits(std::string_view answer) {
  py::object doc = bridge::json::loads_utf8(answer);
  py::object points = doc[py::str("result")][py::str("points")];
  DocumentMaker document;
  py::str payload_key("payload"), page_content_key("page_content"), metadata_key("metadata"),
      score_key("score");
  py::list out;
  for (py::handle point : points) {
    py::object payload = point[payload_key];
    py::object page_content = payload[page_content_key];
    py::object metadata = payload[metadata_key];
    // The decoded map belongs to nobody else: the Document takes it as it is.
    py::object made = document(page_content, metadata, false);
    out.append(py::make_tuple(made, point[score_key]));
  }
  return out;
}

py::object scroll(py::handle m, py::handle col_name, py::handle scroll_filter, py::handle limit) {
  py::object client = m.attr("vexlo_client");
  py::object call = client.attr("scroll");
  py::list records;
  auto page = [&](py::handle page_limit, py::handle offset) {
    py::object result =
        offset.ptr() == nullptr
            ? call(py::arg("collection_name") = col_name, py::arg("limit") = page_limit,
                   py::arg("scroll_filter") = scroll_filter)
            : call(py::arg("collection_name") = col_name, py::arg("limit") = page_limit,
                   py::arg("scroll_filter") = scroll_filter, py::arg("offset") = offset);
    // records, next_offset = result
    py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(result));
    if (pair.size() != 2) {
      throw py::value_error("a scroll answers (records, next_page_offset), got " +
                            std::to_string(pair.size()) + " values");
    }
    for (py::handle record : pair[0]) records.append(record);
    return py::object(pair[1]);
  };
  int everything = PyObject_RichCompareBool(limit.ptr(), py::int_(-1).ptr(), Py_EQ);
  if (everything < 0) throw py::error_already_set();
  if (everything) {
    py::int_ page_limit(kScrollPage);
    py::object offset = page(page_limit, py::handle());
    while (PyObject_IsTrue(offset.ptr()) == 1) offset = page(page_limit, offset);
    if (PyErr_Occurred()) throw py::error_already_set();
  } else {
    page(limit, py::handle());
  }

  DocumentMaker document;
  py::str metadata_key("metadata"), page_content_key("page_content"), kb_id_key("kb_id");
  const py::str id_keys[] = {py::str("chunk_id"), py::str("qa_id"), py::str("tool_id"),
                             py::str("metric_id"), py::str("node_id")};
  py::dict by_id;  // identifier value of any kind -> the first Document made for it
  for (py::handle record : records) {
    py::object payload = record.attr("payload");
    py::object metadata = payload[metadata_key];
    metadata[kb_id_key] = col_name;  // into the client's own payload map
    py::object get = metadata.attr("get");
    for (const py::str& key : id_keys) {
      py::object value = get(key);
      int on = PyObject_IsTrue(value.ptr());
      if (on < 0) throw py::error_already_set();
      if (!on) continue;
      int known = PyDict_Contains(by_id.ptr(), value.ptr());
      if (known < 0) throw py::error_already_set();
      if (known) continue;
      // Each Document gets its own copy of the map, as Document(...) would make.
      by_id[value] = document(payload[page_content_key], metadata, true);
    }
  }
  return py::list(by_id.attr("values")());
}

}  // namespace

void bind_vector_search(py::module_& m) {
  py::handle module = m;
  // Seconds aquery waits for its whole exchange; read at every call.
  m.attr("_aquery_timeout") = 100.0;

  m.def(
      "query",
      [module](py::handle collection, py::handle prefetch, py::handle query, py::handle using_,
               py::handle limit, py::handle score_threshold, py::handle filter) -> py::object {
        bridge::json::EncodedText body =
            json_body(query_body(prefetch, query, using_, limit, score_threshold, filter));
        vexlo::RestEndpoint endpoint = vexlo_endpoint(module);
        std::string url = vexlo::collection_url(endpoint, formatted(collection), "/points/query");
        http::HeaderList headers = vexlo::rest_headers(endpoint);
        http::Response response = vexlo_send("POST", url, headers, body.view());
        if (response.status != 200) raise_application_error(text_of(response));
        return hits(response.body);
      },
      py::arg("collection"), py::arg("prefetch"), py::arg("query"), py::arg("using"),
      py::arg("limit"), py::arg("score_threshold"), py::arg("filter"),
      "The hits of one ranked query as (Document, score) pairs in the server's order.\n"
      "Raises ApplicationError with the answer's text for a status other than 200.");

  m.def(
      "aquery",
      [module](py::object collection, py::object prefetch, py::object query, py::object using_,
               py::object limit, py::object score_threshold, py::object filter) {
        py::object owner = py::reinterpret_borrow<py::object>(module);
        return bridge::aio::deferred_coroutine("aquery", [=] {
          std::string body =
              json_body(query_body(prefetch, query, using_, limit, score_threshold, filter)).str();
          vexlo::RestEndpoint endpoint = vexlo_endpoint(owner);
          std::string url = vexlo::collection_url(endpoint, formatted(collection), "/points/query");
          double seconds = bridge::arg<double>(owner.attr("_aquery_timeout"), "_aquery_timeout");
          auto timeout =
              std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
          auto request = vexlo::rest_loop_request(
              "POST", std::move(url), vexlo::rest_headers(endpoint), std::move(body), timeout);
          return bridge::aio::http_coroutine("aquery", std::move(request),
                                             [](http::loop::BufferedTransfer& t) -> py::object {
                                               return hits(answer_of(t).body);
                                             });
        });
      },
      py::arg("collection"), py::arg("prefetch"), py::arg("query"), py::arg("using"),
      py::arg("limit"), py::arg("score_threshold"), py::arg("filter"),
      "A coroutine doing what query does, on the running loop, within 100 seconds\n"
      "(TimeoutError after them).");

  m.def(
      "scroll_vexlo",
      [module](py::handle col_name, py::handle scroll_filter, py::handle limit) {
        return scroll(module, col_name, scroll_filter, limit);
      },
      py::arg("col_name"), py::arg("scroll_filter"), py::arg("limit") = -1,
      "The distinct Documents of the matching records (vexlo_client.scroll, 64 a page when\n"
      "limit is -1, one call of `limit` otherwise), one per identifier first seen, each with\n"
      "kb_id = col_name in its metadata.");

  m.def(
      "get_document_nodes_from_vs",
      [module](py::handle collection_name, py::handle node_id) -> py::object {
        if (!PyUnicode_Check(collection_name.ptr())) {
          bridge::raise_argument_type(collection_name, "collection_name", "str");
        }
        if (!PyUnicode_Check(node_id.ptr())) bridge::raise_argument_type(node_id, "node_id", "str");
        py::dict match;
        match["value"] = node_id;
        py::dict condition;
        condition["key"] = py::str("metadata.node_id");
        condition["match"] = match;
        py::list must;
        must.append(condition);
        py::dict filter;
        filter["must"] = must;
        py::list documents = scroll(module, collection_name, filter, py::int_(kNodeScrollLimit));
        if (documents.empty()) return py::none();
        py::object first = documents[0];
        py::dict node;
        node["enabled"] = first.attr("metadata").attr("get")("enabled");
        node["page_content"] = first.attr("page_content");
        return node;
      },
      py::arg("collection_name"), py::arg("node_id"),
      "{\"enabled\", \"page_content\"} of the first document whose metadata.node_id is node_id\n"
      "(one scroll of at most 4 records), or None. Raises TypeError for arguments that are not "
      "str.");
}

}  // namespace mosswork::datastore
