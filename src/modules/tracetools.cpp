// The tracetools module: Langfuse set-up from the service configuration, the lookups of the
// Langfuse handler attached to a running chain, and the performance report of one trace.
#include <pybind11/pybind11.h>
// Python's C API of datetime, for reading the observations' time stamps.
#include <datetime.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bridge/config.h"
#include "bridge/errors.h"
#include "core/build/description.h"
#include "core/trace/profile.h"
#include "core/trace/report.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
namespace trace = mosswork::core::trace;

namespace {

// Observations are listed this many per request.
constexpr int kPageSize = 50;
// Waits for running observations allowed in one collection, and the length of one.
constexpr int kMaxWaits = 30;
constexpr std::chrono::milliseconds kWait{200};

constexpr const char* kEnvironment[] = {"LANGFUSE_PUBLIC_KEY", "LANGFUSE_SECRET_KEY",
                                        "LANGFUSE_HOST"};

[[noreturn]] void raise_type(const std::string& what, py::handle value) {
  throw py::type_error(what + ", not " + Py_TYPE(value.ptr())->tp_name);
}

// The Langfuse handler among the callbacks of a runnable config: the first whose type is
// exactly the SDK's CallbackHandler (a subclass is someone else's handler), or None.
py::object find_handler(py::handle config) {
  py::object handlers = config[py::str("callbacks")].attr("handlers");
  py::object handler_type;  // imported once a handler is there to compare
  for (py::handle handler : handlers) {
    if (!handler_type) {
      handler_type = py::module_::import("langfuse.callback").attr("CallbackHandler");
    }
    if (py::type::handle_of(handler).is(handler_type)) {
      return py::reinterpret_borrow<py::object>(handler);
    }
  }
  return py::none();
}

// ---- reading observations ----------------------------------------------------------------

// Nanoseconds since the epoch; a naive time stamp counts as UTC.
trace::Nanos nanos_since_epoch(py::handle stamp, const char* field) {
  if (!PyDateTime_Check(stamp.ptr())) raise_type(std::string(field) + " must be a datetime", stamp);
  py::module_ datetime = py::module_::import("datetime");
  py::object epoch = datetime.attr("datetime")(1970, 1, 1);
  if (!stamp.attr("utcoffset")().is_none()) {
    epoch = datetime.attr("datetime")(1970, 1, 1,
                                      py::arg("tzinfo") = datetime.attr("timezone").attr("utc"));
  }
  py::object delta = py::reinterpret_steal<py::object>(PyNumber_Subtract(stamp.ptr(), epoch.ptr()));
  if (!delta) throw py::error_already_set();
  const trace::Nanos days = PyDateTime_DELTA_GET_DAYS(delta.ptr());
  const trace::Nanos seconds = PyDateTime_DELTA_GET_SECONDS(delta.ptr());
  const trace::Nanos micros = PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
  // Nanoseconds in 64 bits reach from 1677 to 2262, as pandas' timestamps do.
  trace::Nanos nanos = 0;
  if (__builtin_mul_overflow(days * 86400 + seconds, trace::Nanos{1000000000}, &nanos) ||
      __builtin_add_overflow(nanos, micros * 1000, &nanos)) {
    throw py::value_error(std::string(field) +
                          " is outside the times a trace can hold (the years 1677 to 2262)");
  }
  return nanos;
}

// A number with its kind: integers stay integers in the tables, floats are rounded there.
trace::Number number(py::handle value, const std::string& what) {
  if (PyLong_Check(value.ptr())) {
    double v = PyLong_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return {v, true};
  }
  if (PyFloat_Check(value.ptr())) return {PyFloat_AS_DOUBLE(value.ptr()), false};
  if (PyNumber_Check(value.ptr()))
    return {py::float_(py::reinterpret_borrow<py::object>(value)), false};
  raise_type(what + " must be a number", value);
}

std::optional<std::string> optional_text(py::handle value, const std::string& what) {
  if (value.is_none()) return std::nullopt;
  if (!PyUnicode_Check(value.ptr())) raise_type(what + " must be a str", value);
  return value.cast<std::string>();
}

std::string text(py::handle value, const std::string& what) {
  return optional_text(value, what).value_or(std::string());
}

// Whether the field of o equals the text, as Python compares them.
bool field_is(py::handle o, const char* field, const char* value) {
  return py::object(o.attr(field)).equal(py::str(value));
}

bool is_model_call(const std::string& name) {
  return name == "ChatOpenAI" || name == "AzureChatOpenAI";
}

// Seconds the observation took. Langfuse leaves the latency empty where it computed none; it is
// the end less the start.
trace::Number latency_of(py::handle o, const std::string& id) {
  py::object latency = o.attr("latency");
  if (!latency.is_none()) return number(latency, "latency of observation " + id);
  const trace::Nanos start = nanos_since_epoch(o.attr("start_time"), "start_time");
  const trace::Nanos end = nanos_since_epoch(o.attr("end_time"), "end_time");
  return {trace::seconds_between(start, end), false};
}

// One finished observation of the SDK (or any object with its fields) as the core reads it.
trace::Observation observation(py::handle o) {
  trace::Observation out;
  out.id = text(o.attr("id"), "observation id");
  out.name = text(o.attr("name"), "name of observation " + out.id);
  out.type = text(o.attr("type"), "type of observation " + out.id);
  out.parent_id = optional_text(o.attr("parent_observation_id"), "parent of observation " + out.id);
  out.start_time = nanos_since_epoch(o.attr("start_time"), "start_time");
  out.end_time = nanos_since_epoch(o.attr("end_time"), "end_time");
  out.latency = latency_of(o, out.id);
  if (!is_model_call(out.name)) return out;
  // The listing gives the token count as an extra field, absent where nothing was counted.
  py::object tokens = py::getattr(o, "completionTokens", py::none());
  if (!tokens.is_none()) out.completion_tokens = number(tokens, "completionTokens of " + out.id);
  out.model = optional_text(o.attr("model"), "model of observation " + out.id);
  py::list contents;
  for (py::handle message : o.attr("input")) contents.append(message[py::str("content")]);
  out.input_text = py::str("\n").attr("join")(contents).cast<std::string>();
  out.output_text = text(o.attr("output")[py::str("content")], "output content of " + out.id);
  return out;
}

// ---- collection --------------------------------------------------------------------------

py::object list_page(py::handle client, const py::object& trace_id, std::optional<long long> page) {
  py::object get = client.attr("get_observations");
  if (!page) return get(py::arg("trace_id") = trace_id, py::arg("limit") = kPageSize);
  return get(py::arg("trace_id") = trace_id, py::arg("limit") = kPageSize, py::arg("page") = *page);
}

long long meta_int(py::handle page, const char* field) {
  return page.attr("meta").attr(field).cast<long long>();
}

struct Collection {
  py::list observations;              // finished, in listing order
  py::object retriever = py::none();  // the last "retriever_binding" seen, even before a restart
};

// Pages through the trace until a whole pass saw the same number of observations and none still
// running, or until the waits are used up.
Collection collect(py::handle client, const py::object& trace_id) {
  Collection got;
  py::object page = list_page(client, trace_id, std::nullopt);
  py::object total_items = page.attr("meta").attr("total_items");
  long long total_pages = meta_int(page, "total_pages");
  int retry_counter = 0;
  while (meta_int(page, "page") <= total_pages && retry_counter < kMaxWaits) {
    if (py::object(page.attr("meta").attr("total_items")).not_equal(total_items)) {
      // The trace grew since paging began: what was read may sit on other pages now.
      got.observations = py::list();
      retry_counter = 0;
      page = list_page(client, trace_id, std::nullopt);
      total_items = page.attr("meta").attr("total_items");
    }
    total_pages = meta_int(page, "total_pages");
    py::list batch;
    bool running = false;
    for (py::handle o : page.attr("data")) {
      if (!mosswork::bridge::is_on(o.attr("end_time"))) {
        running = true;
        break;
      }
      batch.append(o);
    }
    const long long number = meta_int(page, "page");
    if (running) {
      ++retry_counter;
      released(Domain::kGeneric, [] { std::this_thread::sleep_for(kWait); });
      page = list_page(client, trace_id, number);
      continue;
    }
    for (py::handle o : batch) {
      if (field_is(o, "name", "retriever_binding")) {
        got.retriever = py::reinterpret_borrow<py::object>(o);
      }
      got.observations.append(o);
    }
    page = list_page(client, trace_id, number + 1);
  }
  return got;
}

trace::Report profile(py::module_ m, const py::object& trace_id) {
  Collection got = collect(m.attr("langfuse"), trace_id);
  bool any_generation = false;
  for (py::handle o : got.observations) {
    any_generation = any_generation || field_is(o, "type", "GENERATION");
  }
  if (!any_generation) {
    PyErr_SetString(PyExc_AssertionError, "None generation found.");
    throw py::error_already_set();
  }
  std::vector<trace::Observation> collected;
  collected.reserve(got.observations.size());
  for (py::handle o : got.observations) collected.push_back(observation(o));
  trace::Number retrieval{0, true};
  if (!got.retriever.is_none()) retrieval = latency_of(got.retriever, "retriever_binding");
  std::string id = py::str(trace_id).cast<std::string>();
  trace::Report report = released(
      Domain::kGeneric, [&] { return trace::build_report(id, std::move(collected), retrieval); });
  py::object config = m.attr("langfuse_config");
  report.build_version = py::str(mosswork::bridge::config_value(config, "build_version"));
  report.build_date = py::str(mosswork::bridge::config_value(config, "build_date"));
  return report;
}

// plotly.min.js of the installed plotly package, found without importing plotly.
std::string plotly_js_path() {
  py::object found = py::module_::import("importlib.util").attr("find_spec")("plotly");
  if (found.is_none()) {
    PyErr_SetString(PyExc_ModuleNotFoundError,
                    "the trace report needs plotly.min.js of the plotly package, which is not "
                    "installed");
    throw py::error_already_set();
  }
  py::object folder = found.attr("submodule_search_locations")[py::int_(0)];
  return py::module_::import("os.path")
      .attr("join")(folder, "package_data", "plotly.min.js")
      .cast<std::string>();
}

// ---- the profile as Python values, for inspection ------------------------------------------

py::object number_object(const trace::Number& n) {
  if (n.integral) return py::int_(static_cast<long long>(n.value));
  return py::float_(n.value);
}

template <typename T>
py::object optional_object(const std::optional<T>& value) {
  if (!value) return py::none();
  if constexpr (std::is_same_v<T, trace::Number>) {
    return number_object(*value);
  } else {
    return py::cast(*value);
  }
}

py::dict profile_dict(const trace::Report& report) {
  const trace::Summary& s = report.summary;
  py::list rows;
  for (const trace::Row& row : report.rows) {
    py::dict r;
    r["name"] = row.name;
    r["start_time"] = row.start_time;
    r["end_time"] = row.end_time;
    r["id"] = row.id;
    r["latency"] = number_object(row.latency);
    r["parent_id"] = optional_object(row.parent_id);
    r["time_offset"] = row.time_offset;
    r["no"] = row.no;
    rows.append(std::move(r));
  }
  py::dict generation_processes;
  generation_processes["ChatOpenAI"] = py::list();
  generation_processes["AzureChatOpenAI"] = py::list();
  for (const trace::ModelCall& c : s.model_calls) {
    py::dict e;
    e["output_token"] = optional_object(c.output_token);
    e["duration"] = number_object(c.duration);
    e["time_offset"] = c.time_offset;
    e["charactor_num"] = c.charactor_num;
    e["model"] = optional_object(c.model);
    e["input"] = c.input;
    e["output"] = c.output;
    e["charactor/s"] = optional_object(c.charactor_per_s);
    e["token/s"] = optional_object(c.token_per_s);
    generation_processes[py::str(c.process)].cast<py::list>().append(std::move(e));
  }
  py::dict retrieve_processes;
  for (const char* name : {"create_vs_by_yaml", "VectorStoreRetriever", "reranker"}) {
    retrieve_processes[name] = py::list();
  }
  for (const trace::RetrievalStep& step : s.retrieval_steps) {
    py::dict e;
    e["duration"] = number_object(step.duration);
    e["time_offset"] = step.time_offset;
    retrieve_processes[py::str(step.process)].cast<py::list>().append(std::move(e));
  }
  py::dict generation;
  generation["duration"] = number_object(s.generation_duration);
  generation["processes"] = generation_processes;
  py::dict retrieve;
  retrieve["duration"] = number_object(s.retrieve_duration);
  retrieve["processes"] = retrieve_processes;
  retrieve["speedup"] = number_object(s.speedup);
  py::dict result;
  result["trace_id"] = s.trace_id;
  result["duration"] = s.duration;
  result["time_to_first_token"] = s.time_to_first_token;
  result["first_token_timestamp"] = s.first_token_timestamp;
  result["generation"] = generation;
  result["retrieve"] = retrieve;
  py::dict out;
  out["rows"] = rows;
  out["root_trace_id"] = report.root_id;
  out["result"] = result;
  out["build_version"] = report.build_version;
  out["build_date"] = report.build_date;
  return out;
}

void set_up(py::module_ m) {
  py::object config = mosswork::bridge::service_section();
  m.attr("langfuse_config") = config;
  m.attr("langfuse_handler") = py::none();
  m.attr("langfuse") = py::none();
  if (!mosswork::bridge::is_on(mosswork::bridge::config_value(config, "LANGFUSE_HOST"))) return;
  // The handler takes its credentials from the environment.
  py::object environ = py::module_::import("os").attr("environ");
  for (const char* key : kEnvironment) environ[key] = mosswork::bridge::config_value(config, key);
  m.attr("langfuse_handler") = py::module_::import("langfuse.callback").attr("CallbackHandler")();
  m.attr("langfuse") =
      py::module_::import("langfuse")
          .attr("Langfuse")(
              py::arg("public_key") = mosswork::bridge::config_value(config, "LANGFUSE_PUBLIC_KEY"),
              py::arg("secret_key") = mosswork::bridge::config_value(config, "LANGFUSE_SECRET_KEY"),
              py::arg("host") = mosswork::bridge::config_value(config, "LANGFUSE_HOST"));
}

}  // namespace

PYBIND11_MODULE(tracetools, m) {
  m.doc() = "Langfuse tracing: handler set-up, handler lookups and the trace performance report.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  mosswork::bridge::install_error_translator();
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();

  m.def(
      "get_langfuse_handler", [](py::handle config) { return find_handler(config); },
      py::arg("config"),
      "The first callback handler of config[\"callbacks\"].handlers whose type is exactly\n"
      "langfuse's CallbackHandler, or None.");
  m.def(
      "get_langfuse_trace",
      [](py::handle config) -> py::object {
        py::object handler = find_handler(config);
        return handler.is_none() ? handler : handler.attr("trace");
      },
      py::arg("config"), "The trace that the run's Langfuse handler records, or None.");

  py::handle module = m;
  m.def(
      "_profile",
      [module](py::object trace_id) {
        return profile_dict(profile(py::reinterpret_borrow<py::module_>(module), trace_id));
      },
      py::arg("trace_id"),
      "The rows and the profile summary of the trace, as langfuse_profiling draws them (time\n"
      "stamps in nanoseconds since the epoch).");
  m.def(
      "langfuse_profiling",
      [module](py::object trace_id) {
        // Made first, so that a failed collection leaves its (empty) file behind for the caller.
        py::object file = py::module_::import("tempfile")
                              .attr("NamedTemporaryFile")(
                                  py::arg("mode") = "w", py::arg("suffix") = ".html",
                                  py::arg("encoding") = "utf-8", py::arg("delete") = false);
        py::object name = file.attr("name");
        file.attr("close")();
        trace::Report report = profile(py::reinterpret_borrow<py::module_>(module), trace_id);
        std::string path = name.cast<std::string>();
        std::string plotly_js = plotly_js_path();
        released(Domain::kGeneric, [&] { trace::write_report(path, report, plotly_js); });
        return name;
      },
      py::arg("trace_id"),
      "Reads the trace's observations through the module's `langfuse` client and writes its\n"
      "performance report into a new HTML file, whose path it returns; the file is the\n"
      "caller's to remove. Raises AssertionError \"None generation found.\" for a trace\n"
      "without a model call.");

  set_up(m);
}
