// Asynchronous iterators whose state lives in C++, over a source asynchronous iterator.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <string>

namespace mosswork::bridge::aio {

// An asynchronous iterator that opens its source at the first __anext__ and maps every item the
// source yields. Each step is a NativeCoroutine, so a failure to open surfaces when the first
// step is awaited, as in an async generator; after it the iterator is exhausted. aclose() closes
// the source when it was opened and exhausts the iterator. Everything runs on the loop's thread
// with the GIL held.
class NativeAsyncIterator {
 public:
  using Open = std::function<pybind11::object()>;  // returns an asynchronous iterable
  using Map = std::function<pybind11::object(pybind11::object)>;

  NativeAsyncIterator(std::string name, Open open, Map map);
  NativeAsyncIterator(const NativeAsyncIterator&) = delete;
  NativeAsyncIterator& operator=(const NativeAsyncIterator&) = delete;

  pybind11::object anext();   // an awaitable of the next mapped item
  pybind11::object aclose();  // an awaitable of None
  const std::string& name() const noexcept;
  bool exhausted() const noexcept;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Publishes the one NativeAsyncIterator type in m (and the NativeCoroutine type its steps are).
// The first module to call binds it; later callers get the same type.
void bind_async_iterator_type(pybind11::module_& m);

// A NativeAsyncIterator as a Python object (the type must have been bound).
pybind11::object async_iterator(std::string name, NativeAsyncIterator::Open open,
                                NativeAsyncIterator::Map map);

}  // namespace mosswork::bridge::aio
