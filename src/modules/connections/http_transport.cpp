// Retry and PoolManager: the shared HTTP transport of the object-store client.
#include <pybind11/stl.h>

#include <memory>
#include <optional>

#include "bridge/args.h"
#include "bridge/clients.h"
#include "modules/connections/http_binding.h"

namespace py = pybind11;
namespace http = mosswork::core::http;

namespace mosswork::connections {

void bind_transport(py::module_& m) {
  py::class_<PyRetry> retry_cls(m, "Retry",
                                "The retry policy of the HTTP pool, as urllib3's Retry.");
  py::class_<PyPoolManager> pool_cls(
      m, "PoolManager", "A thread- and fork-safe pool of HTTP connections with a retry policy.");

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
      .def("connection_counts", [](const PyPoolManager& p) {
        auto s = p.client->stats();
        return py::make_tuple(s.pooled_connections, s.idle_connections);
      });
}

}  // namespace mosswork::connections
