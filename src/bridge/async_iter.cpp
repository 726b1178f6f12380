// Asynchronous iterators whose state lives in C++, over a source asynchronous iterator.
#include "bridge/async_iter.h"

#include <utility>

#include "bridge/asyncio.h"

namespace py = pybind11;

namespace mosswork::bridge::aio {
namespace {

// Borrowed, as the coroutine type: owned by the first module that bound it.
PyObject* g_iterator_type = nullptr;

// What a step awaits when it has nothing to wait for: done at the first send, with None.
struct Ready {};

py::object ready() { return py::cast(Ready{}); }

}  // namespace

struct NativeAsyncIterator::State {
  enum class Phase { kNew, kOpen, kExhausted };

  std::string name;
  Open open;
  Map map;
  py::object source;  // the source's asynchronous iterator, once open
  Phase phase = Phase::kNew;

  // Drops what the iterator holds: the source and whatever open() and map() captured.
  void exhaust() {
    phase = Phase::kExhausted;
    open = nullptr;
    map = nullptr;
    source = py::object();
  }
};

NativeAsyncIterator::NativeAsyncIterator(std::string name, Open open, Map map)
    : state_(std::make_shared<State>()) {
  state_->name = std::move(name);
  state_->open = std::move(open);
  state_->map = std::move(map);
}

const std::string& NativeAsyncIterator::name() const noexcept { return state_->name; }

bool NativeAsyncIterator::exhausted() const noexcept {
  return state_->phase == State::Phase::kExhausted;
}

py::object NativeAsyncIterator::anext() {
  auto start = [state = state_]() -> py::object {
    if (state->phase == State::Phase::kExhausted) {
      PyErr_SetNone(PyExc_StopAsyncIteration);
      throw py::error_already_set();
    }
    if (state->phase == State::Phase::kNew) {
      try {
        py::object iterable = state->open();
        py::object source = py::reinterpret_steal<py::object>(PyObject_GetAIter(iterable.ptr()));
        if (!source) throw py::error_already_set();
        state->source = std::move(source);
        state->phase = State::Phase::kOpen;
        state->open = nullptr;  // what it captured is not needed any more
      } catch (...) {
        state->exhaust();
        throw;
      }
    }
    return state->source.attr("__anext__")();
  };
  // The map is taken now: an aclose() while this step waits must not pull it away.
  auto finish = [map = state_->map](py::object item) { return map ? map(item) : item; };
  return coroutine(state_->name + ".__anext__", std::move(start), std::move(finish));
}

py::object NativeAsyncIterator::aclose() {
  auto start = [state = state_]() -> py::object {
    py::object source = std::move(state->source);
    state->exhaust();
    if (source) {
      py::object close = py::getattr(source, "aclose", py::none());
      if (!close.is_none()) return close();
    }
    return ready();
  };
  auto finish = [](py::object) { return py::none(); };
  return coroutine(state_->name + ".aclose", std::move(start), std::move(finish));
}

void bind_async_iterator_type(py::module_& m) {
  bind_coroutine_type(m);
  if (g_iterator_type) {
    m.attr("NativeAsyncIterator") = py::handle(g_iterator_type);
    return;
  }
  // Local to the bridge library, as the coroutine type: the bridge's own code converts it.
  py::class_<Ready>(m, "_Ready", py::module_local())
      .def("__await__", [](py::object self) { return self; })
      .def("send", [](Ready&, py::object) -> py::object {
        PyErr_SetNone(PyExc_StopIteration);
        throw py::error_already_set();
      });
  auto cls =
      py::class_<NativeAsyncIterator>(m, "NativeAsyncIterator", py::module_local(),
                                      "An asynchronous iterator whose state is kept in C++.")
          .def("__aiter__", [](py::object self) { return self; })
          .def("__anext__", &NativeAsyncIterator::anext)
          .def("aclose", &NativeAsyncIterator::aclose,
               "Closes the source stream, if it was opened; the iterator ends.")
          .def("__repr__", [](const NativeAsyncIterator& it) {
            return "<native async iterator " + it.name() + (it.exhausted() ? " (exhausted)>" : ">");
          });
  g_iterator_type = cls.ptr();
}

py::object async_iterator(std::string name, NativeAsyncIterator::Open open,
                          NativeAsyncIterator::Map map) {
  return py::cast(
      std::make_unique<NativeAsyncIterator>(std::move(name), std::move(open), std::move(map)));
}

}  // namespace mosswork::bridge::aio
