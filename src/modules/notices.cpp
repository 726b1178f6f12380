// The coded notices: small objects that carry a prefixed message and a code, and log themselves.
#include <pybind11/pybind11.h>

#include <string>

#include "bridge/errors.h"
#include "bridge/logger.h"
#include "core/build/description.h"

namespace py = pybind11;
using mosswork::core::LogLevel;

namespace {

constexpr int kStatusCode = 200;

// The fields every notice carries; the code field's Python name depends on the family.
struct Notice {
  py::object message;
  int status_code = kStatusCode;
  std::string code;
};

struct BaseDebug : Notice {};
struct BaseInfo : Notice {};
struct BaseWarning : Notice {};
struct SqlNoResultInfo : BaseInfo {};

// prefix + message, where message must be a str (subclasses included).
py::object prefixed(const char* prefix, py::handle message) {
  if (!PyUnicode_Check(message.ptr())) {
    throw py::type_error(std::string("can only concatenate str (not \"") +
                         Py_TYPE(message.ptr())->tp_name + "\") to str");
  }
  PyObject* joined = PyUnicode_Concat(py::str(prefix).ptr(), message.ptr());
  if (!joined) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(joined);
}

template <typename T>
void fill(T& notice, const char* prefix, const char* code, py::handle message) {
  notice.message = prefixed(prefix, message);
  notice.status_code = kStatusCode;
  notice.code = code;
}

template <typename T>
py::str notice_repr(const T& notice, const char* class_name, const char* code_field) {
  return py::str("{}(message={!r}, status_code={}, {}={!r})")
      .format(class_name, notice.message, notice.status_code, code_field, notice.code);
}

}  // namespace

PYBIND11_MODULE(notices, m) {
  mosswork::bridge::install_error_translator();
  m.doc() = "Coded info, warning and debug notices that log their message when called.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);

  py::class_<BaseDebug>(m, "BaseDebug", py::dynamic_attr(),
                        "Debug notice (code VYNLLM000D); calling it logs the message at debug.")
      .def(py::init([](py::object message) {
             BaseDebug n;
             fill(n, "Debug: ", "VYNLLM000D", message);
             return n;
           }),
           py::arg("message") = py::str(""))
      .def_readwrite("message", &BaseDebug::message)
      .def_readwrite("status_code", &BaseDebug::status_code)
      .def_readwrite("debug_code", &BaseDebug::code)
      .def("__call__",
           [](const BaseDebug& self, const py::args&, const py::kwargs&) {
             mosswork::bridge::log_object(LogLevel::kDebug, self.message);
           })
      .def("__repr__",
           [](const BaseDebug& n) { return notice_repr(n, "BaseDebug", "debug_code"); });

  auto info =
      py::class_<BaseInfo>(m, "BaseInfo", py::dynamic_attr(),
                           "Info notice (code VYNLLM000I); calling it logs the message at info.")
          .def(py::init([](py::object message) {
                 BaseInfo n;
                 fill(n, "Info: ", "VYNLLM000I", message);
                 return n;
               }),
               py::arg("message") = py::str(""))
          .def_readwrite("message", &BaseInfo::message)
          .def_readwrite("status_code", &BaseInfo::status_code)
          .def_readwrite("info_code", &BaseInfo::code)
          .def("__call__",
               [](const BaseInfo& self, const py::args&, const py::kwargs&) {
                 mosswork::bridge::log_object(LogLevel::kInfo, self.message);
               })
          .def("__repr__", [](py::object self) {
            const auto& n = self.cast<const BaseInfo&>();
            return notice_repr(
                n, py::str(py::type::of(self).attr("__name__")).cast<std::string>().c_str(),
                "info_code");
          });

  py::class_<BaseWarning>(
      m, "BaseWarning", py::dynamic_attr(),
      "Warning notice (code VYNLLM000W); calling it logs the message at warning.")
      .def(py::init([](py::object message) {
             BaseWarning n;
             fill(n, "Warning: ", "VYNLLM000W", message);
             return n;
           }),
           py::arg("message") = py::str(""))
      .def_readwrite("message", &BaseWarning::message)
      .def_readwrite("status_code", &BaseWarning::status_code)
      .def_readwrite("warning_code", &BaseWarning::code)
      .def("__call__",
           [](const BaseWarning& self, const py::args&, const py::kwargs&) {
             mosswork::bridge::log_object(LogLevel::kWarning, self.message);
           })
      .def("__repr__",
           [](const BaseWarning& n) { return notice_repr(n, "BaseWarning", "warning_code"); });

  py::class_<SqlNoResultInfo, BaseInfo>(
      m, "SqlNoResultInfo", py::dynamic_attr(),
      "Info notice for a database query without result (code VYNLLM001I).")
      .def(py::init([](py::object message) {
             SqlNoResultInfo n;
             fill(n, "SqlNoResultInfo: ", "VYNLLM001I", message);
             return n;
           }),
           py::arg("message") = py::str(""));

  m.attr("debugs") = py::make_tuple(m.attr("BaseDebug"));
  m.attr("infos") = py::make_tuple(info, m.attr("SqlNoResultInfo"));
  m.attr("warnings") = py::make_tuple(m.attr("BaseWarning"));
}
