// The OpenSearch client: document sources by index and id, and indexing.
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <string>

#include "bridge/args.h"
#include "bridge/clients.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "modules/connections/http_binding.h"
#include "modules/connections/http_response.h"

namespace py = pybind11;
namespace http = mosswork::core::http;
namespace search = mosswork::core::search;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

// One entry of hosts: an address text or a dict with "host" and optionally "port", "scheme",
// "url_prefix" and "use_ssl".
search::OpenSearchHost host_from(py::handle h) {
  if (PyUnicode_Check(h.ptr())) return search::parse_opensearch_address(str_of(h)).host;
  py::dict d = bridge::arg<py::dict>(h, "each of hosts");
  search::OpenSearchHost host;
  if (!d.contains("host")) throw py::value_error("an OpenSearch host needs a 'host' entry");
  host.host = str_of(d["host"]);
  if (d.contains("port")) host.port = bridge::int_arg(py::object(d["port"]), "port");
  if (d.contains("scheme")) host.scheme = str_of(d["scheme"]);
  if (d.contains("url_prefix")) host.url_prefix = str_of(d["url_prefix"]);
  if (d.contains("use_ssl") && py::bool_(py::object(d["use_ssl"]))) host.scheme = "https";
  return host;
}

}  // namespace

void bind_opensearch(py::module_& m) {
  py::class_<PyOpenSearch> cls(
      m, "_NativeOpenSearch",
      "The native OpenSearch client under the published OpenSearch: the hosts and credentials\n"
      "as read from the arguments, the pooled exchange its connections send through, and the\n"
      "native get_source.");
  cls.def(py::init([](py::args positional, py::object hosts, py::object http_auth, bool use_ssl,
                      bool verify_certs, bool ssl_show_warn, double timeout) {
            (void)ssl_show_warn;  // no warnings are printed by this client
            search::OpenSearchOptions o;
            o.use_ssl = use_ssl;
            o.verify_certs = verify_certs;
            o.timeout = seconds_to_ms(timeout);
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
              // A (user, password) pair; a text is not one, even of two characters.
              if (!PyTuple_Check(http_auth.ptr()) && !PyList_Check(http_auth.ptr())) {
                bridge::raise_argument_type(http_auth, "http_auth", "a (user, password) pair");
              }
              py::sequence pair = py::reinterpret_borrow<py::sequence>(http_auth);
              if (py::len(pair) != 2) throw py::value_error("http_auth must be (user, password)");
              o.auth = http::BasicAuth{str_of(pair[0]), str_of(pair[1])};
            }
            out.client = std::make_shared<search::OpenSearchClient>(o);
            return out;
          }),
          py::arg("hosts") = py::none(), py::arg("http_auth") = py::none(),
          py::arg("use_ssl") = false, py::arg("verify_certs") = true,
          py::arg("ssl_show_warn") = true, py::arg("timeout") = 10.0)
      .def(
          "get_source",
          [](const PyOpenSearch& c, const std::string& index, py::handle id) {
            std::string key = str_of(id);
            std::string body =
                released(Domain::kSearch, [&] { return c.client->get_source(index, key); });
            return bridge::json::loads_utf8(body);
          },
          py::arg("index"), py::arg("id"))
      .def(
          "index",
          [](const PyOpenSearch& c, const std::string& index, py::handle body, py::handle id,
             bool refresh) {
            std::string json = bridge::json::dumps_utf8(body, false);
            std::string key = str_of(id);
            std::string answer = released(
                Domain::kSearch, [&] { return c.client->index(index, key, json, refresh); });
            return bridge::json::loads_utf8(answer);
          },
          py::arg("index"), py::arg("body"), py::arg("id"), py::arg("refresh") = false)
      .def(
          "_perform",
          [](const PyOpenSearch& c, std::string method, const std::string& url, py::object body,
             py::object headers, py::object timeout) {
            std::transform(method.begin(), method.end(), method.begin(), ::toupper);
            std::string bytes;
            if (PyUnicode_Check(body.ptr()) || PyBytes_Check(body.ptr())) {
              bytes = body.cast<std::string>();
            } else if (!body.is_none()) {
              bridge::raise_argument_type(body, "body", "bytes, str or None");
            }
            http::HeaderList list;
            if (!headers.is_none()) {
              for (py::handle item : headers.attr("items")()) {
                py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
                list.emplace_back(str_of(kv[0]), str_of(kv[1]));
              }
            }
            std::optional<std::chrono::milliseconds> t;
            if (!timeout.is_none()) t = seconds_to_ms(bridge::arg<double>(timeout, "timeout"));
            http::Response response = released(
                Domain::kSearch, [&] { return c.client->exchange(method, url, bytes, list, t); });
            return PyHttpResponse(std::move(response), url);
          },
          py::arg("method"), py::arg("url"), py::arg("body") = py::none(),
          py::arg("headers") = py::none(), py::arg("timeout") = py::none())
      .def("_connection_hosts",
           [](const PyOpenSearch& c) {
             // The hosts and credentials as this client read them, in opensearch-py's host form.
             const auto& o = c.client->options();
             py::list hosts;
             for (const auto& h : o.hosts) {
               py::dict d;
               d["host"] = h.host;
               d["port"] = h.port;
               d["scheme"] = h.scheme.value_or(o.use_ssl ? "https" : "http");
               if (!h.url_prefix.empty()) d["url_prefix"] = h.url_prefix;
               hosts.append(d);
             }
             py::object auth = py::none();
             if (o.auth) auth = py::make_tuple(o.auth->user, o.auth->password);
             return py::make_tuple(hosts, auth);
           })
      .def_readonly("address", &PyOpenSearch::address)
      .def_readonly("hosts", &PyOpenSearch::hosts)
      .def_readonly("use_ssl", &PyOpenSearch::use_ssl)
      .def("__repr__", [](const PyOpenSearch& c) {
        std::string bases;
        for (const auto& b : c.client->base_urls()) bases += (bases.empty() ? "" : ", ") + b;
        return "<OpenSearch([" + bases + "])>";
      });
  m.attr("OpenSearch") =
      py::module_::import("mosswork_utils._http_clients").attr("published_opensearch")(cls);
}

}  // namespace mosswork::connections
