// What the JSON encoder and decoder of the bridge share: reference ownership, the nesting limit,
// str readiness and type names for error texts. Private to the bridge library.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

// Internal to the bridge library: not part of what it exports to the modules.
#pragma GCC visibility push(hidden)

namespace mosswork::bridge::json::detail {

// Owns one reference; early returns on error paths cannot leak it.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  void reset(PyObject* object) {
    Py_XDECREF(object_);
    object_ = object;
  }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

inline PyObject* new_ref(PyObject* object) {
  Py_INCREF(object);
  return object;
}

// The end of this thread's stack that a nested container must not reach. Python's recursion limit
// bounds the nesting, but a raised limit must not let deep input overflow the native stack, so
// the codec also stops a margin above the stack's end and reports it as the same RecursionError.
struct StackLimit {
  std::uintptr_t low = 0;    // the stack's lowest address
  std::uintptr_t floor = 0;  // low plus the margin kept free
};

inline const StackLimit& stack_limit() {
  thread_local const StackLimit limit = [] {
    StackLimit result;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr) {
        std::size_t margin = std::clamp<std::size_t>(size / 8, 32 * 1024, 256 * 1024);
        if (size > 2 * margin) {
          result.low = reinterpret_cast<std::uintptr_t>(low);
          result.floor = result.low + margin;
        }
      }
      pthread_attr_destroy(&attr);
    }
#endif
    return result;
  }();
  return limit;
}

inline bool native_stack_exhausted() {
  const StackLimit& limit = stack_limit();
  auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // A frame below the stack's low end runs on some other stack (a coroutine's): not judged.
  return frame < limit.floor && frame >= limit.low;
}

// One level of container nesting: Py_EnterRecursiveCall plus the native stack check.
class Nesting {
 public:
  explicit Nesting(const char* where) {
    if (native_stack_exhausted()) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  ~Nesting() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool ok() const { return entered_; }

 private:
  bool entered_ = false;
};

inline bool ensure_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// f"{obj.__class__.__name__}", as json's own error texts build it.
inline PyObject* class_name_of(PyObject* object) {
  Ref cls(PyObject_GetAttrString(object, "__class__"));
  if (!cls) return nullptr;
  Ref name(PyObject_GetAttrString(cls.get(), "__name__"));
  if (!name) return nullptr;
  return PyObject_Format(name.get(), nullptr);
}

}  // namespace mosswork::bridge::json::detail

#pragma GCC visibility pop
