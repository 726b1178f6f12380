// Runs libcurl transfers on the running asyncio event loop and exposes them as native coroutines.
#pragma once

#include <curl/curl.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/http/curl_handles.h"
#include "core/http/loop_transfer.h"

namespace mosswork::bridge::aio {

// One per event loop, whichever module's coroutine runs on it: a libcurl multi handle whose
// sockets and timer are watched by the loop (add_reader, add_writer, call_later). Everything runs
// on the loop's thread with the GIL held; no libcurl call made here blocks.
class CurlDriver : public std::enable_shared_from_this<CurlDriver> {
 public:
  explicit CurlDriver(pybind11::handle loop);
  ~CurlDriver();
  CurlDriver(const CurlDriver&) = delete;
  CurlDriver& operator=(const CurlDriver&) = delete;

  // The driver of the running loop, made on first use and released with the loop.
  static std::shared_ptr<CurlDriver> for_running_loop();
  // The running loop's driver if it has one already, else null; makes none.
  static std::shared_ptr<CurlDriver> existing_for_running_loop();
  // Drivers alive in the process, for tests: one per loop that ran a transfer and is not gone.
  static std::size_t live() noexcept;

  // Starts the transfer; the returned future gets None when it ends, however it ends.
  pybind11::object start(std::shared_ptr<core::http::loop::Transfer> transfer);
  // Stops a transfer that has not ended; nothing of it stays in the multi handle.
  void cancel(core::http::loop::Transfer* transfer);
  std::size_t active() const noexcept { return active_.size(); }

 private:
  struct Entry {
    std::shared_ptr<core::http::loop::Transfer> transfer;
    pybind11::object future;
  };

  static int on_socket_change(CURL* easy, curl_socket_t fd, int what, void* self, void* socketp);
  static int on_timer_change(CURLM* multi, long timeout_ms, void* self);
  void socket_ready(curl_socket_t fd, int events);
  void timer_fired();
  void collect_finished();
  void watch(curl_socket_t fd, int what);
  pybind11::object loop() const;  // None when the loop is gone
  pybind11::object callback(curl_socket_t fd, int events);
  void raise_pending();

  pybind11::object loop_ref_;  // weak reference: the loop owns us, not the other way round
  core::http::CurlMultiPtr multi_;
  std::unordered_map<CURL*, Entry> active_;
  std::unordered_map<curl_socket_t, int> watched_;  // CURL_POLL_* mask registered per socket
  pybind11::object timer_;
  pybind11::object pending_error_;  // an error raised by the loop inside a libcurl callback
};

// A coroutine whose state lives in C++: at its first send() it starts its work, which returns
// an awaitable; it then delegates to that awaitable's iterator, and when it is exhausted turns
// its value into the coroutine's result. throw() and close() pass into the delegate, and a
// coroutine that does not finish calls its cancel hook.
class NativeCoroutine {
 public:
  using Start = std::function<pybind11::object()>;
  using Finish = std::function<pybind11::object(pybind11::object)>;
  using Cancel = std::function<void()>;

  NativeCoroutine(std::string name, Start start, Finish finish, Cancel cancel);
  ~NativeCoroutine();
  NativeCoroutine(const NativeCoroutine&) = delete;
  NativeCoroutine& operator=(const NativeCoroutine&) = delete;

  pybind11::object send(pybind11::object value);
  pybind11::object throw_(pybind11::object type, pybind11::object value, pybind11::object tb);
  void close();
  const std::string& name() const noexcept { return name_; }
  bool running() const noexcept { return state_ == State::kWaiting; }
  bool done() const noexcept { return state_ == State::kDone; }

 private:
  enum class State { kCreated, kWaiting, kDone };
  template <typename Step>
  pybind11::object advance(Step&& step);
  void abandon() noexcept;

  std::string name_;
  Start start_;
  Finish finish_;
  Cancel cancel_;
  pybind11::object delegate_;
  State state_ = State::kCreated;
};

// Publishes the one NativeCoroutine type (registered as a collections.abc.Coroutine) and the
// registry of curl drivers in module m. The first module to call binds them and owns them; later
// callers get the same objects. Call from the init of every module that returns coroutines.
void bind_coroutine_type(pybind11::module_& m);

// A NativeCoroutine as a Python object, for modules whose coroutines await Python awaitables
// (the type must have been bound, see above).
pybind11::object coroutine(std::string name, NativeCoroutine::Start start,
                           NativeCoroutine::Finish finish, NativeCoroutine::Cancel cancel = {});

// A coroutine that runs one buffered HTTP exchange on the running loop; finish receives the
// finished transfer (errors of the transfer are thrown from its response()).
pybind11::object http_coroutine(
    std::string name, core::http::loop::BufferedRequest request,
    std::function<pybind11::object(core::http::loop::BufferedTransfer&)> finish);

}  // namespace mosswork::bridge::aio
