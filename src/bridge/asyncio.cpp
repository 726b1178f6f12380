// Runs libcurl transfers on the running asyncio event loop and exposes them as native coroutines.
#include "bridge/asyncio.h"

#include <atomic>
#include <utility>

#include "core/common/errors.h"

namespace py = pybind11;

namespace mosswork::bridge::aio {
namespace {

// Borrowed: the coroutine type and the registry of drivers (a WeakKeyDictionary of loop ->
// capsule) are owned by the first module that bound them, which lives for the whole process.
// Holding no reference keeps interpreter shutdown free of C++ destructors. Set with the GIL held.
PyObject* g_coroutine_type = nullptr;
PyObject* g_registry = nullptr;

std::atomic<std::size_t> g_live_drivers{0};

py::object registered_driver(py::handle loop) {
  if (!g_registry) throw core::Error("the coroutine type was not bound");
  return py::handle(g_registry).attr("get")(loop);
}

std::shared_ptr<CurlDriver> driver_in(const py::object& capsule) {
  return *static_cast<std::shared_ptr<CurlDriver>*>(capsule.cast<py::capsule>().get_pointer());
}

bool is_stop_iteration(const py::error_already_set& e) { return e.matches(PyExc_StopIteration); }

[[noreturn]] void raise_stop_iteration(py::object value) {
  // StopIteration(value) built explicitly, so that a tuple result is not taken as arguments.
  py::object exc =
      py::reinterpret_steal<py::object>(PyObject_CallOneArg(PyExc_StopIteration, value.ptr()));
  if (!exc) throw py::error_already_set();
  PyErr_SetObject(PyExc_StopIteration, exc.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raise_given(py::handle type, py::handle value) {
  if (PyExceptionInstance_Check(type.ptr())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type.ptr())), type.ptr());
  } else if (PyExceptionClass_Check(type.ptr())) {
    PyErr_SetObject(type.ptr(), value.is_none() ? nullptr : value.ptr());
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must be classes or instances deriving from BaseException");
  }
  throw py::error_already_set();
}

}  // namespace

// ---- CurlDriver ---------------------------------------------------------------------------------

CurlDriver::CurlDriver(py::handle loop)
    : loop_ref_(py::module_::import("weakref").attr("ref")(loop)), multi_(curl_multi_init()) {
  if (!multi_) throw core::Error("cannot create a libcurl multi handle");
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, &CurlDriver::on_socket_change);
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, &CurlDriver::on_timer_change);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this);
  ++g_live_drivers;
}

CurlDriver::~CurlDriver() {
  // Runs with the GIL held (the owner is a Python capsule or a coroutine).
  for (auto& [easy, entry] : active_) curl_multi_remove_handle(multi_.get(), easy);
  active_.clear();
  try {
    py::object lp = loop();
    bool usable = !lp.is_none() && !lp.attr("is_closed")().cast<bool>();
    if (usable) {
      for (auto& [fd, mask] : watched_) {
        if (mask & CURL_POLL_IN) lp.attr("remove_reader")(fd);
        if (mask & CURL_POLL_OUT) lp.attr("remove_writer")(fd);
      }
    }
    if (timer_ && !timer_.is_none()) timer_.attr("cancel")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("mosswork_utils curl driver");
  }
  watched_.clear();
  --g_live_drivers;
}

std::shared_ptr<CurlDriver> CurlDriver::for_running_loop() {
  py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
  py::object capsule = registered_driver(loop);
  if (!capsule.is_none()) return driver_in(capsule);
  auto driver = std::make_shared<CurlDriver>(loop);
  auto* holder = new std::shared_ptr<CurlDriver>(driver);
  py::capsule owner(holder, [](void* p) { delete static_cast<std::shared_ptr<CurlDriver>*>(p); });
  py::handle registry(g_registry);
  registry[loop] = owner;
  return driver;
}

std::shared_ptr<CurlDriver> CurlDriver::existing_for_running_loop() {
  py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
  py::object capsule = registered_driver(loop);
  return capsule.is_none() ? nullptr : driver_in(capsule);
}

std::size_t CurlDriver::live() noexcept { return g_live_drivers.load(); }

py::object CurlDriver::loop() const {
  py::object lp = loop_ref_();
  return lp;
}

py::object CurlDriver::start(std::shared_ptr<core::http::loop::Transfer> transfer) {
  py::object lp = loop();
  if (lp.is_none()) throw core::Error("the event loop of this driver is gone");
  py::object future = lp.attr("create_future")();
  CURL* easy = transfer->easy();
  active_.emplace(easy, Entry{transfer, future});
  CURLMcode rc = curl_multi_add_handle(multi_.get(), easy);
  if (rc != CURLM_OK) {
    active_.erase(easy);
    throw core::Error(std::string("cannot start the transfer: ") + curl_multi_strerror(rc));
  }
  raise_pending();
  return future;
}

void CurlDriver::cancel(core::http::loop::Transfer* transfer) {
  auto it = active_.find(transfer->easy());
  if (it == active_.end()) return;
  Entry entry = std::move(it->second);
  active_.erase(it);
  curl_multi_remove_handle(multi_.get(), transfer->easy());
  if (!entry.future.attr("done")().cast<bool>()) entry.future.attr("cancel")();
  pending_error_ = py::object();  // the loop may already be closing; the caller is cancelling
}

int CurlDriver::on_socket_change(CURL*, curl_socket_t fd, int what, void* self, void*) {
  auto* d = static_cast<CurlDriver*>(self);
  try {
    d->watch(fd, what);
  } catch (py::error_already_set& e) {
    if (!d->pending_error_) d->pending_error_ = e.value();
    return -1;
  }
  return 0;
}

int CurlDriver::on_timer_change(CURLM*, long timeout_ms, void* self) {
  auto* d = static_cast<CurlDriver*>(self);
  try {
    if (d->timer_ && !d->timer_.is_none()) d->timer_.attr("cancel")();
    d->timer_ = py::object();
    if (timeout_ms >= 0) {
      py::object lp = d->loop();
      if (lp.is_none()) return -1;
      std::weak_ptr<CurlDriver> weak = d->weak_from_this();
      py::cpp_function fire([weak] {
        if (auto driver = weak.lock()) driver->timer_fired();
      });
      // libcurl must not be re-entered from its own callback: run the action from the loop.
      d->timer_ = lp.attr("call_later")(static_cast<double>(timeout_ms) / 1000.0, fire);
    }
  } catch (py::error_already_set& e) {
    if (!d->pending_error_) d->pending_error_ = e.value();
    return -1;
  }
  return 0;
}

py::object CurlDriver::callback(curl_socket_t fd, int events) {
  std::weak_ptr<CurlDriver> weak = weak_from_this();
  return py::cpp_function([weak, fd, events] {
    if (auto driver = weak.lock()) driver->socket_ready(fd, events);
  });
}

void CurlDriver::watch(curl_socket_t fd, int what) {
  py::object lp = loop();
  int current = 0;
  if (auto it = watched_.find(fd); it != watched_.end()) current = it->second;
  int wanted = what == CURL_POLL_REMOVE ? 0 : what;
  if (!lp.is_none() && !lp.attr("is_closed")().cast<bool>()) {
    if ((wanted & CURL_POLL_IN) && !(current & CURL_POLL_IN)) {
      lp.attr("add_reader")(fd, callback(fd, CURL_CSELECT_IN));
    } else if (!(wanted & CURL_POLL_IN) && (current & CURL_POLL_IN)) {
      lp.attr("remove_reader")(fd);
    }
    if ((wanted & CURL_POLL_OUT) && !(current & CURL_POLL_OUT)) {
      lp.attr("add_writer")(fd, callback(fd, CURL_CSELECT_OUT));
    } else if (!(wanted & CURL_POLL_OUT) && (current & CURL_POLL_OUT)) {
      lp.attr("remove_writer")(fd);
    }
  }
  if (wanted == 0) {
    watched_.erase(fd);
  } else {
    watched_[fd] = wanted;
  }
}

void CurlDriver::socket_ready(curl_socket_t fd, int events) {
  auto keep = shared_from_this();  // a finishing transfer may drop the last other owner
  int running = 0;
  curl_multi_socket_action(multi_.get(), fd, events, &running);
  collect_finished();
  raise_pending();
}

void CurlDriver::timer_fired() {
  auto keep = shared_from_this();
  timer_ = py::object();
  int running = 0;
  curl_multi_socket_action(multi_.get(), CURL_SOCKET_TIMEOUT, 0, &running);
  collect_finished();
  raise_pending();
}

void CurlDriver::collect_finished() {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    CURL* easy = msg->easy_handle;
    CURLcode code = msg->data.result;
    auto it = active_.find(easy);
    curl_multi_remove_handle(multi_.get(), easy);
    if (it == active_.end()) continue;
    Entry entry = std::move(it->second);
    active_.erase(it);
    entry.transfer->finished(code);
    if (!entry.future.attr("done")().cast<bool>()) entry.future.attr("set_result")(py::none());
  }
}

void CurlDriver::raise_pending() {
  if (!pending_error_) return;
  py::object error = std::move(pending_error_);
  pending_error_ = py::object();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// ---- NativeCoroutine ---------------------------------------------------------------------------

NativeCoroutine::NativeCoroutine(std::string name, Start start, Finish finish, Cancel cancel)
    : name_(std::move(name)),
      start_(std::move(start)),
      finish_(std::move(finish)),
      cancel_(std::move(cancel)) {}

NativeCoroutine::~NativeCoroutine() { abandon(); }

void NativeCoroutine::abandon() noexcept {
  if (state_ == State::kWaiting && cancel_) {
    try {
      cancel_();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("mosswork_utils coroutine");
    } catch (...) {
    }
  }
  state_ = State::kDone;
  delegate_ = py::object();
}

template <typename Step>
py::object NativeCoroutine::advance(Step&& step) {
  py::object yielded;
  try {
    yielded = step();
  } catch (py::error_already_set& e) {
    if (!is_stop_iteration(e)) {
      abandon();
      throw;
    }
    py::object value = e.value().attr("value");
    state_ = State::kDone;  // the work ended: nothing to cancel any more
    delegate_ = py::object();
    raise_stop_iteration(finish_(value));
  } catch (...) {
    abandon();
    throw;
  }
  return yielded;
}

py::object NativeCoroutine::send(py::object value) {
  if (state_ == State::kDone) throw py::value_error("cannot reuse already awaited coroutine");
  if (state_ == State::kCreated) {
    if (!value.is_none())
      throw py::type_error("can't send non-None value to a just-started coroutine");
    state_ = State::kWaiting;
    py::object awaitable;
    try {
      awaitable = start_();
      delegate_ = awaitable.attr("__await__")();
    } catch (...) {
      abandon();
      throw;
    }
    return advance([&] { return delegate_.attr("send")(py::none()); });
  }
  return advance([&] { return delegate_.attr("send")(value); });
}

py::object NativeCoroutine::throw_(py::object type, py::object value, py::object tb) {
  if (state_ != State::kWaiting) {
    abandon();
    raise_given(type, value);
  }
  return advance([&] { return delegate_.attr("throw")(type, value, tb); });
}

void NativeCoroutine::close() {
  if (state_ == State::kWaiting && delegate_) {
    try {
      delegate_.attr("close")();
    } catch (py::error_already_set&) {
      abandon();
      throw;
    }
  }
  abandon();
}

void bind_coroutine_type(py::module_& m) {
  if (g_coroutine_type) {
    m.attr("NativeCoroutine") = py::handle(g_coroutine_type);
    m.attr("_curl_drivers") = py::handle(g_registry);
    return;
  }
  // Local to the bridge library: its own code is what converts the type, whichever module calls.
  auto cls = py::class_<NativeCoroutine>(m, "NativeCoroutine", py::module_local(),
                                         "A coroutine whose state is kept in C++.")
                 .def("send", &NativeCoroutine::send, py::arg("value"))
                 .def("throw", &NativeCoroutine::throw_, py::arg("typ"),
                      py::arg("val") = py::none(), py::arg("tb") = py::none())
                 .def("close", &NativeCoroutine::close)
                 .def("__await__", [](py::object self) { return self; })
                 .def("__next__", [](NativeCoroutine& c) { return c.send(py::none()); })
                 .def("__iter__", [](py::object self) { return self; })
                 .def_property_readonly("cr_name", &NativeCoroutine::name)
                 .def_property_readonly("cr_running", &NativeCoroutine::running)
                 .def("__repr__", [](const NativeCoroutine& c) {
                   return "<native coroutine " + c.name() + (c.done() ? " (done)>" : ">");
                 });
  py::module_::import("collections.abc").attr("Coroutine").attr("register")(cls);
  py::object registry = py::module_::import("weakref").attr("WeakKeyDictionary")();
  m.attr("_curl_drivers") = registry;
  g_coroutine_type = cls.ptr();
  g_registry = registry.ptr();
}

py::object coroutine(std::string name, NativeCoroutine::Start start, NativeCoroutine::Finish finish,
                     NativeCoroutine::Cancel cancel) {
  return py::cast(std::make_unique<NativeCoroutine>(std::move(name), std::move(start),
                                                    std::move(finish), std::move(cancel)));
}

py::object http_coroutine(std::string name, core::http::loop::BufferedRequest request,
                          std::function<py::object(core::http::loop::BufferedTransfer&)> finish) {
  struct State {
    core::http::loop::BufferedRequest request;
    std::shared_ptr<core::http::loop::BufferedTransfer> transfer;
    std::shared_ptr<CurlDriver> driver;
  };
  auto state = std::make_shared<State>();
  state->request = std::move(request);
  auto start = [state]() -> py::object {
    state->driver = CurlDriver::for_running_loop();
    state->transfer =
        std::make_shared<core::http::loop::BufferedTransfer>(std::move(state->request));
    return state->driver->start(state->transfer);
  };
  auto done = [state, finish = std::move(finish)](py::object) -> py::object {
    auto transfer = std::move(state->transfer);
    state->driver.reset();
    return finish(*transfer);
  };
  auto cancel = [state] {
    if (state->driver && state->transfer) state->driver->cancel(state->transfer.get());
    state->transfer.reset();
    state->driver.reset();
  };
  return py::cast(std::make_unique<NativeCoroutine>(std::move(name), std::move(start),
                                                    std::move(done), std::move(cancel)));
}

}  // namespace mosswork::bridge::aio
