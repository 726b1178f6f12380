// The Python-side objects of the shared service clients: their out-of-line parts.
#include "bridge/clients.h"

namespace py = pybind11;

namespace mosswork::connections {

PyRedis::PyRedis(std::optional<core::redis::Client> client, std::string missing,
                 std::string description)
    : client_(std::move(client)),
      missing_(std::move(missing)),
      description_(std::move(description)) {}

const core::redis::Client& PyRedis::client() const {
  if (!client_) {
    PyErr_SetObject(bridge::exception_class("RedisConnectionError").ptr(), py::str(missing_).ptr());
    throw py::error_already_set();
  }
  return *client_;
}

PyLock::PyLock(core::redis::Client client, std::string name, core::redis::LockOptions options,
               bool thread_local_tokens)
    : client_(std::move(client)),
      name_(std::move(name)),
      options_(options),
      thread_local_(thread_local_tokens) {}

std::optional<std::string> PyLock::token() {
  std::lock_guard guard(mutex_);
  if (!thread_local_) return shared_token_;
  auto it = tokens_.find(std::this_thread::get_id());
  return it == tokens_.end() ? std::nullopt : it->second;
}

void PyLock::set_token(std::optional<std::string> t) {
  std::lock_guard guard(mutex_);
  if (!thread_local_) {
    shared_token_ = std::move(t);
  } else if (t) {
    tokens_[std::this_thread::get_id()] = std::move(t);
  } else {
    tokens_.erase(std::this_thread::get_id());
  }
}

}  // namespace mosswork::connections
