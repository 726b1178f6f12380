// The chatwrapper module: an OpenAI chat-completion face on a LangChain chat model or chain.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "bridge/args.h"
#include "bridge/async_iter.h"
#include "bridge/asyncio.h"
#include "bridge/config.h"
#include "bridge/errors.h"
#include "core/build/description.h"

namespace py = pybind11;
namespace bridge = mosswork::bridge;
namespace aio = mosswork::bridge::aio;

namespace {

constexpr const char* kModuleName = "mosswork_utils.chatwrapper";

// obj.name, or a null object when obj has no such attribute (any other error propagates).
py::object optional_attr(py::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::object();
}

// map[key] when the key is present (a null value included), else fallback. Anything but a dict
// is asked through its get(), so a value that is no map fails as the lookup on it fails.
py::object lookup(py::handle map, const char* key, py::handle fallback) {
  if (PyDict_CheckExact(map.ptr())) {
    PyObject* value = PyDict_GetItemString(map.ptr(), key);
    return py::reinterpret_borrow<py::object>(value ? value : fallback.ptr());
  }
  return map.attr("get")(key, fallback);
}

// The chat request's fields are attributes: a request object without one fails as the
// attribute lookup fails.
py::dict transform(py::handle request) {
  if (!bridge::is_on(request.attr("messages"))) {
    throw py::value_error("missing 'messages' key in input");
  }
  py::object messages = request.attr("messages");
  py::object model = request.attr("model");
  py::object temperature = request.attr("temperature");
  py::dict configurable;
  configurable["chat_assistant_llm"] = bridge::is_on(model) ? model : py::str("default_llm");
  configurable["temperature"] = bridge::is_on(temperature) ? temperature : py::int_(0);
  py::dict config;
  config["configurable"] = configurable;
  py::dict out;
  out["input"] = messages;
  out["config"] = config;
  out["kwargs"] = py::dict();
  return out;
}

// A whole number as an int; other real numbers are truncated. Text, None and the like are refused.
py::object index_value(py::handle index) {
  PyObject* o = index.ptr();
  if (PyLong_CheckExact(o)) return py::reinterpret_borrow<py::object>(index);
  if (!PyNumber_Check(o) || PyComplex_Check(o)) {
    bridge::raise_argument_type(index, "index", "an integer");
  }
  PyObject* n = PyNumber_Long(o);
  if (!n) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(n);
}

py::dict format_response(py::handle result, py::handle model_name, py::handle index) {
  if (!PyUnicode_Check(model_name.ptr())) {
    bridge::raise_argument_type(model_name, "model_name", "str");
  }
  py::object choice_index = index_value(index);
  py::object metadata = optional_attr(result, "response_metadata");
  if (!metadata) metadata = py::dict();
  py::object token_usage = lookup(metadata, "token_usage", py::dict());
  py::object finish_reason = lookup(metadata, "finish_reason", py::str("stop"));

  py::dict message;
  message["role"] = "assistant";
  message["content"] = result.attr("content");
  py::dict choice;
  choice["index"] = choice_index;
  choice["message"] = message;
  choice["finish_reason"] = finish_reason;
  py::list choices;
  choices.append(choice);
  py::dict usage;
  py::int_ zero(0);
  for (const char* key : {"prompt_tokens", "completion_tokens", "total_tokens"}) {
    usage[key] = lookup(token_usage, key, zero);
  }
  py::dict out;
  out["id"] = result.attr("id");
  out["object"] = "chat.completion";
  out["created"] = py::none();
  out["model"] = model_name;
  out["choices"] = choices;
  out["usage"] = usage;
  return out;
}

// ---- OpenAIStyleWrapper: a langchain-core Runnable over Dict[str, Any] -> Any ---------------

// The model is read at every call, as the field it is.
py::object wrapper_ainvoke(py::object self, py::object input) {
  auto start = [self, input]() -> py::object {
    py::dict request = transform(input);
    return self.attr("model").attr("ainvoke")(request["input"],
                                              py::arg("config") = request["config"]);
  };
  auto finish = [input](py::object result) -> py::object {
    return format_response(result, input.attr("model"), py::int_(0));
  };
  return aio::coroutine("ainvoke", std::move(start), std::move(finish));
}

py::object wrapper_astream(py::object self, py::object input) {
  auto open = [self, input]() -> py::object {
    py::dict request = transform(input);
    return self.attr("model").attr("astream")(request["input"],
                                              py::arg("config") = request["config"]);
  };
  auto piece = [](py::object chunk) -> py::object {
    py::object content = optional_attr(chunk, "content");
    return content ? content : py::str(chunk);
  };
  return aio::async_iterator("astream", std::move(open), std::move(piece));
}

// The class is made at import: Runnable is a Python ABC, so the wrapper is a Python subclass of
// Runnable[Dict[str, Any], Any] (which gives it its InputType and OutputType) whose methods are
// these C++ functions.
py::object make_wrapper_class() {
  py::module_ typing = py::module_::import("typing");
  py::object any = typing.attr("Any");
  py::object runnable = py::module_::import("langchain_core.runnables").attr("Runnable");
  py::object request_type = typing.attr("Dict")[py::make_tuple(py::type::of(py::str()), any)];
  py::object base = runnable[py::make_tuple(request_type, any)];

  py::dict annotations;
  annotations["model"] = runnable;
  py::cpp_function body([annotations](py::dict ns) {
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = "OpenAIStyleWrapper";
    ns["__doc__"] =
        "A Runnable with the OpenAI chat-completion interface over a LangChain chat model or "
        "chain (the field `model`). A request is any object with the attributes `messages`, "
        "`model` and `temperature`; the model receives the messages and a config whose "
        "'configurable' map names the model ('chat_assistant_llm') and the temperature, never "
        "the caller's config.";
    ns["__annotations__"] = annotations;
  });
  // types.new_class resolves the parameterised base and records it in __orig_bases__.
  py::object cls = py::module_::import("types").attr("new_class")(
      "OpenAIStyleWrapper", py::make_tuple(base), py::dict(), body);

  py::object super = py::module_::import("builtins").attr("super");
  // Not named "__init__": pybind11 takes a function of that name for a constructor of one of its
  // own classes.
  cls.attr("__init__") = py::cpp_function(
      [cls, super](py::object self, py::object model) {
        super(cls, self).attr("__init__")();
        self.attr("model") = model;
      },
      py::name("init"), py::is_method(cls), py::arg("model"),
      "Wraps model, a runnable with ainvoke and astream.");
  cls.attr("invoke") = py::cpp_function(
      [](py::object, py::object, py::object) { return py::none(); }, py::name("invoke"),
      py::is_method(cls), py::arg("input"), py::arg("config") = py::none(),
      "Returns None: the wrapper answers asynchronously only, and the model is not called.");
  cls.attr("ainvoke") = py::cpp_function(
      [](py::object self, py::object input, py::object, py::kwargs) {
        return wrapper_ainvoke(std::move(self), std::move(input));
      },
      py::name("ainvoke"), py::is_method(cls), py::arg("input"), py::arg("config") = py::none(),
      "A coroutine: awaits the model's ainvoke on the transformed request and returns the "
      "chat-completion map. config and further keyword arguments are ignored. Raises ValueError "
      "for a request without messages (the model is not called) and TypeError, after the model "
      "answered, when the request's model is not a str.");
  cls.attr("astream") = py::cpp_function(
      [](py::object self, py::object input, py::object, py::kwargs) {
        return wrapper_astream(std::move(self), std::move(input));
      },
      py::name("astream"), py::is_method(cls), py::arg("input"), py::arg("config") = py::none(),
      "An asynchronous iterator over the model's astream on the transformed request: each "
      "chunk's content, or the chunk as a str when it has none. config and further keyword "
      "arguments are ignored; aclose() closes the model's stream.");
  // The methods came after the class: Runnable's abstract invoke is implemented now.
  py::module_::import("abc").attr("update_abstractmethods")(cls);
  return cls;
}

}  // namespace

PYBIND11_MODULE(chatwrapper, m) {
  bridge::install_error_translator();
  m.doc() = "OpenAIStyleWrapper: an OpenAI chat-completion interface on a LangChain chat chain.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  aio::bind_async_iterator_type(m);

  m.def("_transform", &transform, py::arg("input_dict"),
        "The model's input for a chat request: {'input': messages, 'config': {'configurable': "
        "{'chat_assistant_llm': model or 'default_llm', 'temperature': temperature or 0}}, "
        "'kwargs': {}}. Raises ValueError when the request's messages are empty or None.");
  m.def("format_openai_chat_response", &format_response, py::arg("result"),
        py::arg("model_name") = "gpt-4", py::arg("index") = 0,
        "The OpenAI chat-completion map of a chat message. Raises TypeError when model_name is "
        "not a str or index is not a number (other numbers are truncated to an int).");
  m.attr("OpenAIStyleWrapper") = make_wrapper_class();
}
