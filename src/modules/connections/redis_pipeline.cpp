// The queue of a pipeline sent in one round trip and read back as redis-py's Pipeline reads it:
// queued-command errors annotated, EXEC's nil as WatchError, replies through the callbacks.
#include <pybind11/stl.h>

#include <string_view>
#include <utility>
#include <vector>

#include "bridge/args.h"
#include "bridge/errors.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

constexpr const char* kEmptyResponse = "EMPTY_RESPONSE";

[[noreturn]] void raise_object(py::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

bool is_error(py::handle value, py::handle cls) {
  return PyObject_IsInstance(value.ptr(), cls.ptr()) == 1;
}

// What a reply of these commands does to the pipeline's WATCH state.
void track_watch(py::handle pipe, py::handle command_name) {
  if (!PyUnicode_Check(command_name.ptr())) return;
  const std::string name = command_name.cast<std::string>();
  if (name == "WATCH") {
    pipe.attr("watching") = true;
  } else if (name == "EXEC" || name == "DISCARD" || name == "UNWATCH") {
    pipe.attr("watching") = false;
  }
}

std::vector<redis::Reply> send(py::handle pipe, const redis::CommandBatch& batch) {
  py::object conn = pipe.attr("connection");
  if (!conn.is_none()) {
    auto& dedicated = bridge::arg<PyRedisConnection&>(conn, "connection");
    return released(Domain::kRedis, [&] {
      return dedicated.with_connection([&](redis::Connection& c) { return c.round_trip(batch); });
    });
  }
  const redis::Client& client =
      bridge::arg<const PyRedis&>(pipe.attr("_client"), "_client").client();
  return released(Domain::kRedis, [&] { return client.round_trip(batch); });
}

py::list execute_stack(py::object pipe, const py::list& stack, bool transaction,
                       bool raise_on_error) {
  const py::object response_error = bridge::exception_class("ResponseError");
  std::vector<py::tuple> commands;  // (args, options) of each queued command
  commands.reserve(stack.size());
  std::vector<Args> sent;
  if (transaction) sent.push_back({"MULTI"});
  for (py::handle item : stack) {
    py::tuple command = py::reinterpret_borrow<py::tuple>(item);
    py::dict options = command[1];
    // A transaction leaves out what may fail harmlessly; its slot gets the stand-in value.
    if (!(transaction && options.contains(kEmptyResponse)))
      sent.push_back(encode_command(command[0]));
    commands.push_back(std::move(command));
  }
  if (transaction) sent.push_back({"EXEC"});
  const std::vector<redis::Reply> replies = send(pipe, batch_of(sent));

  auto name_of = [](const py::tuple& command) { return py::tuple(command[0])[0]; };
  py::list out;
  if (!transaction) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
      py::dict options = commands[i][1];
      py::object reply = convert(ReplyShape::kRaw, replies[i]);
      if (replies[i].is_error()) {
        out.append(options.contains(kEmptyResponse) ? options[kEmptyResponse] : reply);
        continue;
      }
      out.append(parse_reply(pipe, name_of(commands[i]), std::move(reply), options));
      track_watch(pipe, name_of(commands[i]));
    }
    if (raise_on_error) pipe.attr("raise_first_error")(stack, out);
    return out;
  }

  std::vector<std::pair<std::size_t, py::object>> errors;
  if (replies.front().is_error())
    errors.emplace_back(0, convert(ReplyShape::kRaw, replies.front()));
  std::size_t next = 1;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    py::dict options = commands[i][1];
    if (options.contains(kEmptyResponse)) {
      errors.emplace_back(i, options[kEmptyResponse]);
      continue;
    }
    const redis::Reply& queued = replies[next++];
    if (queued.is_error()) {
      py::object error = convert(ReplyShape::kRaw, queued);
      pipe.attr("annotate_exception")(error, i + 1, commands[i][0]);
      errors.emplace_back(i, std::move(error));
    }
  }
  const redis::Reply& exec = replies.back();
  if (exec.is_error()) {
    py::object error = convert(ReplyShape::kRaw, exec);
    // EXECABORT: the real cause is the first command the server refused to queue.
    if (is_error(error, bridge::exception_class("ExecAbortError")) && !errors.empty()) {
      raise_object(errors.front().second);
    }
    raise_object(error);
  }
  pipe.attr("watching") = false;
  if (exec.is_nil()) {
    PyErr_SetString(bridge::exception_class("WatchError").ptr(), "Watched variable changed.");
    throw py::error_already_set();
  }
  py::list response = convert(ReplyShape::kRaw, exec);
  for (auto& [i, e] : errors) response.insert(static_cast<Py_ssize_t>(i), e);
  if (response.size() != commands.size()) {
    PyErr_SetString(response_error.ptr(), "Wrong number of response items from pipeline execution");
    throw py::error_already_set();
  }
  if (raise_on_error) pipe.attr("raise_first_error")(stack, response);
  for (std::size_t i = 0; i < commands.size(); ++i) {
    py::object r = response[i];
    if (PyExceptionInstance_Check(r.ptr())) {
      out.append(r);
    } else {
      out.append(parse_reply(pipe, name_of(commands[i]), std::move(r), commands[i][1]));
    }
  }
  return out;
}

}  // namespace

void bind_pipeline(py::module_& m) {
  m.def("_execute_stack", &execute_stack, py::arg("pipeline"), py::arg("stack"),
        py::arg("transaction"), py::arg("raise_on_error"),
        "Sends a pipeline's queued (args, options) in one round trip, on its kept connection if "
        "it has one, and reads the replies as redis-py's Pipeline does.");
}

}  // namespace mosswork::connections
