// The Lock class: redis-py's Lock over the core lock, one token per thread by default.
#include <chrono>
#include <optional>

#include "bridge/args.h"
#include "core/common/chrono_units.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;

namespace mosswork::connections {

void bind_lock(py::class_<PyLock>& lock_cls) {
  lock_cls
      .def(
          "acquire",
          [](PyLock& l, py::handle sleep, py::handle blocking, py::handle blocking_timeout,
             py::handle token) {
            redis::LockOptions o = l.options();
            if (!sleep.is_none()) o.sleep = redis::Seconds(bridge::arg<double>(sleep, "sleep"));
            std::optional<bool> b;
            if (!blocking.is_none()) b = bridge::arg<bool>(blocking, "blocking");
            auto bt = seconds(blocking_timeout, "blocking_timeout");
            std::optional<std::string> t;
            if (!token.is_none()) t = bridge::redis_arg(token);
            return l.with_lock(o, [&](redis::Lock& lock) { return lock.acquire(b, bt, t); });
          },
          py::arg("sleep") = py::none(), py::arg("blocking") = py::none(),
          py::arg("blocking_timeout") = py::none(), py::arg("token") = py::none())
      .def("release", [](PyLock& l) { l.with_lock([](redis::Lock& lock) { lock.release(); }); })
      .def("locked",
           [](PyLock& l) { return l.with_lock([](redis::Lock& lock) { return lock.locked(); }); })
      .def("owned",
           [](PyLock& l) { return l.with_lock([](redis::Lock& lock) { return lock.owned(); }); })
      .def(
          "extend",
          [](PyLock& l, double additional_time, bool replace_ttl) {
            auto ms = core::seconds_to_ms(additional_time);
            l.with_lock([&](redis::Lock& lock) { lock.extend(ms, replace_ttl); });
            return true;
          },
          py::arg("additional_time"), py::arg("replace_ttl") = false)
      .def("reacquire",
           [](PyLock& l) {
             l.with_lock([](redis::Lock& lock) { lock.reacquire(); });
             return true;
           })
      .def_property_readonly("name", &PyLock::name)
      .def_property_readonly("timeout",
                             [](const PyLock& l) -> py::object {
                               if (!l.options().timeout) return py::none();
                               return py::float_(l.options().timeout->count() / 1000.0);
                             })
      .def_property_readonly("blocking", [](const PyLock& l) { return l.options().blocking; })
      .def_property_readonly("sleep", [](const PyLock& l) { return l.options().sleep.count(); })
      .def_property_readonly("blocking_timeout",
                             [](const PyLock& l) -> py::object {
                               if (!l.options().blocking_timeout) return py::none();
                               return py::float_(l.options().blocking_timeout->count());
                             })
      .def("__enter__",
           [](py::object self) {
             PyLock& l = bridge::arg<PyLock&>(self, "self");
             bool ok = l.with_lock([](redis::Lock& lock) { return lock.acquire(); });
             if (!ok) raise_class("LockError", "Unable to acquire lock within the time specified");
             return self;
           })
      .def("__exit__",
           [](PyLock& l, py::args) { l.with_lock([](redis::Lock& lock) { lock.release(); }); });
}

}  // namespace mosswork::connections
