// The vector database's clients: VexloClient (blocking) and AsyncVexloClient (on the event loop),
// and the Record of a scroll.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "bridge/args.h"
#include "bridge/asyncio.h"
#include "bridge/clients.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "modules/connections/http_binding.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace vexlo = mosswork::core::vexlo;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

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
    o.port = bridge::int_arg(port, "port");
  }
  if (!api_key.is_none()) o.api_key = str_of(api_key);
  if (!timeout.is_none()) o.timeout = seconds_to_ms(bridge::arg<double>(timeout, "timeout"));
  if (!https.is_none()) o.https = bridge::arg<bool>(https, "https");
  o.verify = verify.is_none() ? true : bridge::arg<bool>(verify, "verify");
  if (!prefix.is_none()) o.prefix = str_of(prefix);
  return o;
}

std::shared_ptr<vexlo::VexloClient> make_client(py::handle url, py::handle port, py::handle api_key,
                                                py::handle timeout, py::handle https,
                                                py::handle verify, py::handle prefix) {
  return std::make_shared<vexlo::VexloClient>(
      vexlo_options(url, port, api_key, timeout, https, verify, prefix));
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
  py::object next =
      result.contains("next_page_offset") ? py::object(result["next_page_offset"]) : py::none();
  return py::make_tuple(records, next);
}

template <typename Class, typename Make>
void def_init(Class& cls, Make make) {
  cls.def(py::init([make](py::object url, py::object port, py::object api_key, py::object timeout,
                          py::object https, py::object verify, py::object prefix) {
            return make(make_client(url, port, api_key, timeout, https, verify, prefix));
          }),
          py::arg("url") = py::none(), py::arg("port") = 6333, py::arg("api_key") = py::none(),
          py::arg("timeout") = py::none(), py::arg("https") = py::none(), py::arg("verify") = true,
          py::arg("prefix") = py::none());
}

}  // namespace

void bind_vexlo(py::module_& m) {
  py::class_<PyRecord> record_cls(m, "Record", "One point of a scroll: its id and payload.");
  py::class_<vexlo::VexloClient, std::shared_ptr<vexlo::VexloClient>> sync_cls(
      m, "VexloClient", "The vector database's client: filtered scrolls over its REST interface.");
  // The asynchronous client shares the configuration; its calls run on the event loop.
  py::class_<PyAsyncVexlo> async_cls(m, "AsyncVexloClient",
                                     "The vector database's asynchronous client: scroll is a "
                                     "coroutine run on the running event loop.");

  record_cls.def_readonly("id", &PyRecord::id)
      .def_readonly("payload", &PyRecord::payload)
      .def_readonly("vector", &PyRecord::vector)
      .def("__repr__", [](const PyRecord& r) {
        return "Record(id=" + py::repr(r.id).cast<std::string>() +
               ", payload=" + py::repr(r.payload).cast<std::string>() + ")";
      });

  def_init(sync_cls, [](std::shared_ptr<vexlo::VexloClient> c) { return c; });
  sync_cls
      .def_property_readonly("base_url", [](const vexlo::VexloClient& c) { return c.base_url(); })
      .def(
          "scroll",
          [](vexlo::VexloClient& c, const std::string& collection_name, long limit,
             py::handle scroll_filter, py::handle offset) {
            auto filter = json_or_none(scroll_filter);
            auto off = json_or_none(offset);
            std::string body = released(
                Domain::kVexlo, [&] { return c.scroll(collection_name, limit, filter, off); });
            return scroll_result(body);
          },
          py::arg("collection_name"), py::arg("limit") = 10, py::arg("scroll_filter") = py::none(),
          py::arg("offset") = py::none(),
          "(records, next_page_offset) of the points matching scroll_filter, from offset on.");

  def_init(async_cls, [](std::shared_ptr<vexlo::VexloClient> c) { return PyAsyncVexlo{c}; });
  async_cls
      .def_property_readonly("base_url", [](const PyAsyncVexlo& c) { return c.client->base_url(); })
      .def(
          "scroll",
          [](const PyAsyncVexlo& c, const std::string& collection_name, long limit,
             py::handle scroll_filter, py::handle offset) {
            return bridge::aio::http_coroutine(
                "AsyncVexloClient.scroll",
                c.client->scroll_request(collection_name, limit, json_or_none(scroll_filter),
                                         json_or_none(offset)),
                [](http::loop::BufferedTransfer& t) -> py::object {
                  auto& r = t.response();
                  std::string body;
                  try {
                    body = vexlo::VexloClient::scroll_answer(r.status, std::move(r.body));
                  } catch (...) {
                    bridge::raise_python_error(std::current_exception(), Domain::kVexlo);
                  }
                  return scroll_result(body);
                });
          },
          py::arg("collection_name"), py::arg("limit") = 10, py::arg("scroll_filter") = py::none(),
          py::arg("offset") = py::none(),
          "A coroutine giving (records, next_page_offset), as VexloClient.scroll does.");
}

}  // namespace mosswork::connections
