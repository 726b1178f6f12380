// Turns core errors into Python exceptions: the one place where that mapping lives.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/common/errors.h"

namespace mosswork::bridge {

// Which client raised: the same core error becomes the Python class that client's users expect
// (a Redis time-out is a RedisTimeoutError, an OpenSearch one a SearchConnectionError).
// kHttp is a plain HTTP service called the way requests is used (the OCR service); kPool the
// urllib3-style PoolManager, whose failures are urllib3's.
enum class Domain { kGeneric, kRedis, kS3, kSearch, kVexlo, kAmqp, kHttp, kPool };

// Sets the Python error for a core error of the given domain. Needs the GIL.
void set_python_error(std::exception_ptr error, Domain domain = Domain::kGeneric);

// A pybind11 exception translator: sets the Python error of a core error (as kGeneric) and lets
// anything else pass on to the next translator.
void translate_core_error(std::exception_ptr error);

// Registers translate_core_error for the functions that the bridge library binds itself (the
// coroutine methods, loop callbacks), once however often it is called.
void install_library_error_translator();

// Registers translate_core_error for the calling module only (module-local), and the library's.
// Inline on purpose: pybind11 keeps a module-local translator list per shared object, so the
// registration must be compiled into the module whose functions throw, not into the bridge.
inline void install_error_translator() {
  install_library_error_translator();
  pybind11::register_local_exception_translator(&translate_core_error);
}

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

// A class of mosswork_utils.exceptions by name: the one registry of the Python classes, read
// when an error is raised (nothing cached, so no Python object is held by C++ statics).
pybind11::object exception_class(const char* name);

// The Python class a module raises for a service failure:
// mosswork_utils.exceptions.ApplicationError.
pybind11::object application_error_class();

}  // namespace mosswork::bridge
