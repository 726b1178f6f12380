// Arguments from Python callers: one checked conversion per C++ type, so that a wrong type is a
// TypeError naming the argument ("timeout must be a number, not str"), and the Redis encoding.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "bridge/export.h"

namespace mosswork::bridge {

// Raises TypeError "<name> must be <expected>, not <type of value>".
[[noreturn]] void raise_argument_type(pybind11::handle value, const char* name,
                                      const std::string& expected);

// value as T, or the TypeError above. T is double (any real number), bool (bool or int),
// long long, long, int, std::size_t (integers, range-checked with OverflowError), std::string
// (str, as UTF-8), pybind11::dict, or a const reference to a bound class.
template <typename T>
T arg(pybind11::handle value, const char* name);

template <>
MOSSWORK_BRIDGE_EXPORT double arg<double>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT bool arg<bool>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT long long arg<long long>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT long arg<long>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT int arg<int>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT std::size_t arg<std::size_t>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT std::string arg<std::string>(pybind11::handle value, const char* name);
template <>
MOSSWORK_BRIDGE_EXPORT pybind11::dict arg<pybind11::dict>(pybind11::handle value, const char* name);

// A bound class: an instance of it (subclasses included), else TypeError "... must be a Redis".
template <typename T>
  requires std::is_reference_v<T>
T arg(pybind11::handle value, const char* name) {
  pybind11::type cls = pybind11::type::of<std::remove_cvref_t<T>>();
  if (!pybind11::isinstance(value, cls)) {
    raise_argument_type(value, name, "a " + cls.attr("__name__").template cast<std::string>());
  }
  return value.cast<T>();
}

// int(value) as Python's int() takes it (text "6379" and 6379.0 included, as configuration
// values come), range-checked for int: a value int() refuses is the TypeError above.
int int_arg(pybind11::handle value, const char* name);

// One Redis command argument as redis-py's Encoder.encode writes it: bytes, bytearray and
// memoryview as their bytes, str as UTF-8 (strict), int and float (subclasses included) as their
// repr; bool and every other type raise DataError.
std::string redis_arg(pybind11::handle value);

}  // namespace mosswork::bridge
