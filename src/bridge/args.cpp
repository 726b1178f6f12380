// Arguments from Python callers: checked conversions and the Redis argument encoding.
#include "bridge/args.h"

#include <climits>
#include <limits>

#include "bridge/errors.h"

namespace py = pybind11;

namespace mosswork::bridge {
namespace {

[[noreturn]] void raise_out_of_range(const char* name) {
  PyErr_SetString(PyExc_OverflowError, (std::string(name) + " is out of range").c_str());
  throw py::error_already_set();
}

bool is_integer(PyObject* o) { return PyLong_Check(o) || PyIndex_Check(o); }

long long integer(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyBool_Check(o) || !is_integer(o)) raise_argument_type(value, name, "an integer");
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(o));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) raise_out_of_range(name);
  return n;
}

template <typename T>
T ranged(long long n, const char* name) {
  if (n < static_cast<long long>(std::numeric_limits<T>::min()) ||
      n > static_cast<long long>(std::numeric_limits<T>::max())) {
    raise_out_of_range(name);
  }
  return static_cast<T>(n);
}

}  // namespace

void raise_argument_type(py::handle value, const char* name, const std::string& expected) {
  throw py::type_error(std::string(name) + " must be " + expected + ", not " +
                       Py_TYPE(value.ptr())->tp_name);
}

template <>
double arg<double>(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
  if (!PyLong_Check(o) && !(number && (number->nb_float || number->nb_index))) {
    raise_argument_type(value, name, "a number");
  }
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

template <>
bool arg<bool>(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  if (!is_integer(o)) raise_argument_type(value, name, "a bool");
  const int truth = PyObject_IsTrue(o);
  if (truth < 0) throw py::error_already_set();
  return truth != 0;
}

template <>
long long arg<long long>(py::handle value, const char* name) {
  return integer(value, name);
}

template <>
long arg<long>(py::handle value, const char* name) {
  return ranged<long>(integer(value, name), name);
}

template <>
int arg<int>(py::handle value, const char* name) {
  return ranged<int>(integer(value, name), name);
}

template <>
std::size_t arg<std::size_t>(py::handle value, const char* name) {
  long long n = integer(value, name);
  if (n < 0) raise_out_of_range(name);
  return static_cast<std::size_t>(n);
}

template <>
std::string arg<std::string>(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (!PyUnicode_Check(o)) raise_argument_type(value, name, "str");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw py::error_already_set();
  return std::string(s, static_cast<std::size_t>(n));
}

template <>
py::dict arg<py::dict>(py::handle value, const char* name) {
  if (!PyDict_Check(value.ptr())) raise_argument_type(value, name, "a dict");
  return py::reinterpret_borrow<py::dict>(value);
}

int int_arg(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  py::object n = py::reinterpret_steal<py::object>(PyNumber_Long(o));
  if (!n) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    raise_argument_type(value, name, "an integer");
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < INT_MIN || v > INT_MAX) raise_out_of_range(name);
  return static_cast<int>(v);
}

std::string redis_arg(py::handle value) {
  PyObject* o = value.ptr();
  if (PyBytes_Check(o)) return std::string(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
  if (PyByteArray_Check(o)) return std::string(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
  if (PyMemoryView_Check(o)) {
    // bytes(view): the viewed bytes in C order, whatever the view's shape.
    py::bytes copy = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(o));
    if (!copy) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(copy.ptr()), PyBytes_GET_SIZE(copy.ptr()));
  }
  if (!PyBool_Check(o)) {
    if (PyLong_Check(o) || PyFloat_Check(o)) {
      py::object text = py::reinterpret_steal<py::object>(PyObject_Repr(o));
      if (!text) throw py::error_already_set();
      return redis_arg(text);
    }
    if (PyUnicode_Check(o)) {
      Py_ssize_t n = 0;
      const char* s = PyUnicode_AsUTF8AndSize(o, &n);
      if (!s) throw py::error_already_set();
      return std::string(s, static_cast<std::size_t>(n));
    }
  }
  py::object type_name = py::type::handle_of(value).attr("__name__");
  PyErr_SetObject(exception_class("DataError").ptr(),
                  py::str("Invalid input of type: '" + type_name.cast<std::string>() +
                          "'. Convert to a bytes, string, int or float first.")
                      .ptr());
  throw py::error_already_set();
}

}  // namespace mosswork::bridge
