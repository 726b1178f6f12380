// Turns core errors into Python exceptions: the one place where that mapping lives.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace mosswork::bridge {

// Which client raised: the same core error becomes the Python class that client's users expect
// (a Redis time-out is a RedisTimeoutError, an OpenSearch one a SearchConnectionError).
// kHttp is a plain HTTP service called the way requests is used (the OCR service).
enum class Domain { kGeneric, kRedis, kS3, kSearch, kVexlo, kAmqp, kHttp };

// Registers the translator for the calling module only (module-local); it uses kGeneric.
void install_error_translator();

// Sets the Python error for a core error of the given domain. Needs the GIL.
void set_python_error(std::exception_ptr error, Domain domain = Domain::kGeneric);

// Raises the Python error for a core error of the given domain. Needs the GIL.
[[noreturn]] void raise_python_error(std::exception_ptr error, Domain domain);

// Runs call with the GIL released and raises its failure, if any, as domain's Python error
// once the GIL is back. call must touch no Python object.
template <typename Call>
auto released(Domain domain, Call&& call) {
  std::exception_ptr failure;
  if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
    {
      pybind11::gil_scoped_release unlocked;
      try {
        call();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) raise_python_error(failure, domain);
  } else {
    std::optional<std::invoke_result_t<Call>> result;
    {
      pybind11::gil_scoped_release unlocked;
      try {
        result.emplace(call());
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) raise_python_error(failure, domain);
    return std::move(*result);
  }
}

// A class of mosswork_utils.exceptions by name.
pybind11::object exception_class(const char* name);

// The Python class a module raises for a service failure: mosswork_utils.exceptions.ApplicationError.
pybind11::object application_error_class();

}  // namespace mosswork::bridge
