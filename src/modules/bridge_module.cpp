// mosswork_utils._bridge: the bridge's shared pieces, reachable from Python for tests and tools.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/asyncio.h"
#include "bridge/config.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "bridge/logger.h"
#include "bridge/yaml.h"
#include "core/build/description.h"
#include "core/common/chrono_units.h"
#include "core/common/errors.h"

namespace py = pybind11;
namespace core = mosswork::core;
namespace bridge = mosswork::bridge;

namespace {

core::LogLevel level_from(const std::string& name) {
  if (name == "debug") return core::LogLevel::kDebug;
  if (name == "info") return core::LogLevel::kInfo;
  if (name == "warning") return core::LogLevel::kWarning;
  if (name == "error") return core::LogLevel::kError;
  throw py::value_error("unknown log level: " + name);
}

// Throws the core error named by kind, so that its Python translation can be observed.
[[noreturn]] void raise_core_error(const std::string& kind, const std::string& text) {
  if (kind == "application") throw core::ApplicationFailure(text);
  if (kind == "invalid_argument") throw core::InvalidArgument(text);
  if (kind == "type_mismatch") throw core::TypeMismatch(text);
  if (kind == "io_enoent") throw core::IoError(ENOENT, text, "/no/such/file");
  if (kind == "io_eacces") throw core::IoError(EACCES, text, "/locked");
  if (kind == "io_nopath") throw core::IoError(EIO, text);
  if (kind == "timeout") throw core::Timeout(text);
  if (kind == "connection") throw core::ConnectionClosed(text);
  if (kind == "protocol") throw core::ProtocolError(text);
  if (kind == "parse") throw core::ParseError(text);
  if (kind == "reply") throw core::ReplyError(text);
  if (kind == "integrity") throw core::IntegrityMismatch(text);
  throw py::value_error("unknown core error kind: " + kind);
}

}  // namespace

PYBIND11_MODULE(_bridge, m) {
  bridge::install_error_translator();
  m.doc() = "The shared bridge of mosswork_utils: JSON codec, configuration rule, logging, errors.";
  m.attr("__version__") = std::string(core::build::kVersion);

  m.def(
      "dumps",
      [](py::handle value, bool ensure_ascii) { return bridge::json::dumps(value, ensure_ascii); },
      py::arg("obj"), py::kw_only(), py::arg("ensure_ascii") = true,
      "json.dumps(obj, ensure_ascii=ensure_ascii), written in C++.");
  m.def(
      "dumps_utf8",
      [](py::handle value, bool ensure_ascii) {
        return py::bytes(bridge::json::dumps_utf8(value, ensure_ascii));
      },
      py::arg("obj"), py::kw_only(), py::arg("ensure_ascii") = false,
      "json.dumps(obj, ensure_ascii=ensure_ascii).encode('utf-8'), written in C++.");
  m.def(
      "loads", [](py::handle text) { return bridge::json::loads(text); }, py::arg("s"),
      "json.loads(s), written in C++.");

  m.def(
      "safe_load", [](const std::string& text) { return bridge::yaml::safe_load(text); },
      py::arg("text"), "Parses one YAML document as a safe loader does.");
  m.def(
      "is_on", &bridge::is_on, py::arg("value"),
      "Whether a configured value counts as on (None, False, 0, '' and empty containers are off).");
  m.def(
      "config_value",
      [](py::handle config, const std::string& key, py::handle fallback) {
        return bridge::config_value(config, key.c_str(), fallback);
      },
      py::arg("config"), py::arg("key"), py::arg("default") = py::none());
  m.def("tls_flag", &bridge::tls_flag, py::arg("value"),
        "The OpenSearch TLS rule: off for the text 'False' and for off values.");

  m.def(
      "core_log",
      [](const std::string& level, const std::string& text, bool release_gil) {
        auto lv = level_from(level);
        if (release_gil) {
          py::gil_scoped_release released;
          bridge::py_log().write(lv, text);
        } else {
          bridge::py_log().write(lv, text);
        }
      },
      py::arg("level"), py::arg("text"), py::arg("release_gil") = true,
      "Logs one text through the core's Log interface, as core code does.");
  m.def(
      "core_log_lazily",
      [](const std::string& level, const std::string& text) {
        bool built = false;
        auto lv = level_from(level);
        py::gil_scoped_release released;
        bridge::py_log().lazy(lv, [&] {
          built = true;
          return text;
        });
        return built;
      },
      py::arg("level"), py::arg("text"),
      "Logs like core_log but builds the text only when the level is enabled; returns whether "
      "it was built.");
  bridge::aio::bind_coroutine_type(m);
  m.def(
      "http_request",
      [](std::string method, std::string url, std::vector<std::string> headers, py::bytes body,
         double timeout) {
        core::http::loop::BufferedRequest request;
        request.method = std::move(method);
        request.url = std::move(url);
        request.headers = std::move(headers);
        request.body = body;
        request.timeout = core::seconds_to_ms(timeout);
        return bridge::aio::http_coroutine(
            "http_request", std::move(request), [](core::http::loop::BufferedTransfer& t) {
              auto& r = t.response();
              py::list headers;
              for (auto& [k, v] : r.headers) headers.append(py::make_tuple(k, v));
              return py::object(py::make_tuple(r.status, headers, py::bytes(r.body)));
            });
      },
      py::arg("method"), py::arg("url"), py::arg("headers") = std::vector<std::string>{},
      py::arg("body") = py::bytes(), py::arg("timeout") = 30.0,
      "A coroutine that runs one HTTP exchange on the running loop; returns (status, headers, "
      "body).");
  m.def(
      "curl_active_transfers", [] { return bridge::aio::CurlDriver::for_running_loop()->active(); },
      "Transfers the running loop's driver is still running.");
  m.def("curl_live_drivers", &bridge::aio::CurlDriver::live,
        "Curl drivers alive in the process, whichever module made them.");
  m.def(
      "curl_driver_id",
      []() -> py::object {
        auto driver = bridge::aio::CurlDriver::existing_for_running_loop();
        if (!driver) return py::none();
        return py::int_(reinterpret_cast<std::uintptr_t>(driver.get()));
      },
      "An identity of the running loop's curl driver, or None when it has none yet.");
  m.def("raise_core_error", &raise_core_error, py::arg("kind"), py::arg("text"),
        "Throws a core error of the named kind through the bridge's translator.");
}
