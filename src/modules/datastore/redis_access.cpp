// Client selection and argument and reply helpers shared by the datastore's Redis functions.
#include "modules/datastore/redis_access.h"

#include "bridge/config.h"
#include "bridge/errors.h"
#include "bridge/logger.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;

namespace mosswork::datastore {

py::object RedisAccess::pick(const char* role, const char* method) const {
  const bool cluster = bridge::is_on(connections_.attr("redis_cluster"));
  const char* name = cluster ? role : "r";
  py::object client = connections_.attr(name);
  if (client.is_none()) {
    // What calling a method on the missing client raises in Python.
    throw py::attribute_error(std::string("'NoneType' object has no attribute '") + method + "'");
  }
  return client;
}

py::object RedisAccess::write_object(const char* method) const { return pick("r_master", method); }
py::object RedisAccess::read_object(const char* method) const { return pick("r_slaver", method); }

core::redis::Client RedisAccess::write(const char* method) const {
  return write_object(method).cast<const connections::PyRedis&>().client();
}

core::redis::Client RedisAccess::read(const char* method) const {
  return read_object(method).cast<const connections::PyRedis&>().client();
}

namespace {
[[noreturn]] void raise_data_error(PyObject* o) {
  PyErr_SetObject(bridge::exception_class("DataError").ptr(),
                  py::str(std::string("Invalid input of type: '") + Py_TYPE(o)->tp_name +
                          "'. Convert to a bytes, string, int or float first.")
                      .ptr());
  throw py::error_already_set();
}
}  // namespace

std::string encode_arg(py::handle value) {
  PyObject* o = value.ptr();
  if (PyBytes_Check(o)) return std::string(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) throw py::error_already_set();
    return std::string(s, static_cast<std::size_t>(n));
  }
  if (PyBool_Check(o) || o == Py_None) raise_data_error(o);
  if (PyLong_Check(o) || PyFloat_Check(o)) return py::repr(value).cast<std::string>();
  raise_data_error(o);
}

std::string text_of(py::handle value) { return encode_arg(py::str(value)); }

py::str decode(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

void log_text(core::LogLevel level, const std::string& text) {
  bridge::log_object(level, decode(text));
}

std::string error_text(const py::error_already_set& error) {
  return py::str(error.value()).cast<std::string>();
}

}  // namespace mosswork::datastore
