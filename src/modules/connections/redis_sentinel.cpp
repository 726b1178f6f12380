// The Sentinel class: master and replica discovery, and clients that follow failovers.
#include <pybind11/stl.h>

#include <memory>

#include "bridge/args.h"
#include "bridge/errors.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {

void bind_sentinel(py::class_<PySentinel>& sentinel_cls) {
  auto pick = [](py::handle given, py::handle fallback) {
    return given.is_none() ? py::reinterpret_borrow<py::object>(fallback)
                           : py::reinterpret_borrow<py::object>(given);
  };
  // master_for and slave_for take the same arguments; the Sentinel's own ones fill the gaps.
  auto follow = [pick](bool master) {
    return [pick, master](const PySentinel& s, const std::string& name, py::handle password,
                          py::handle socket_timeout, py::handle db, py::handle username,
                          py::handle max_connections) {
      auto o = client_options(py::none(), py::none(), pick(db, s.db), pick(password, s.password),
                              pick(username, s.username), pick(socket_timeout, s.socket_timeout),
                              max_connections);
      if (master) {
        return PyRedis(s.sentinel->master_for(name, o), "", "Redis<master of " + name + ">");
      }
      return PyRedis(s.sentinel->slave_for(name, o), "", "Redis<replica of " + name + ">");
    };
  };
  sentinel_cls
      .def(py::init([](py::handle sentinels, py::object password, py::object socket_timeout,
                       py::object username, py::object db, int min_other_sentinels) {
             redis::SentinelOptions o;
             for (py::handle pair : sentinels) {
               if (!PySequence_Check(pair.ptr()) || PyUnicode_Check(pair.ptr()) ||
                   PySequence_Size(pair.ptr()) != 2) {
                 throw py::value_error("each sentinel must be a (host, port) pair, not " +
                                       py::repr(pair).cast<std::string>());
               }
               py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
               o.sentinels.push_back({py::str(seq[0]).cast<std::string>(),
                                      bridge::int_arg(py::object(seq[1]), "sentinel port")});
             }
             o.socket_timeout = seconds(socket_timeout, "socket_timeout");
             o.min_other_sentinels = min_other_sentinels;
             PySentinel s;
             s.sentinel = std::make_shared<redis::Sentinel>(std::move(o));
             s.password = password;
             s.socket_timeout = socket_timeout;
             s.username = username;
             s.db = db;
             return s;
           }),
           py::arg("sentinels"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("username") = py::none(),
           py::arg("db") = 0, py::arg("min_other_sentinels") = 0)
      .def(
          "discover_master",
          [](const PySentinel& s, const std::string& name) {
            auto a = released(Domain::kRedis, [&] { return s.sentinel->discover_master(name); });
            return py::make_tuple(a.host, a.port);
          },
          py::arg("service_name"))
      .def(
          "discover_slaves",
          [](const PySentinel& s, const std::string& name) {
            auto list = released(Domain::kRedis, [&] { return s.sentinel->discover_slaves(name); });
            py::list out;
            for (auto& a : list) out.append(py::make_tuple(a.host, a.port));
            return out;
          },
          py::arg("service_name"))
      .def("master_for", follow(true), py::arg("service_name"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("db") = py::none(),
           py::arg("username") = py::none(), py::arg("max_connections") = py::none())
      .def("slave_for", follow(false), py::arg("service_name"), py::arg("password") = py::none(),
           py::arg("socket_timeout") = py::none(), py::arg("db") = py::none(),
           py::arg("username") = py::none(), py::arg("max_connections") = py::none());
}

}  // namespace mosswork::connections
