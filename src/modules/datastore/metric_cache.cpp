// The metric-query cache step: looks the origin question up in the application's cache hash and,
// on a hit, copies the cached results into the pipeline state. It never fails the pipeline.
#include <pybind11/pybind11.h>

#include <string>

#include "bridge/json_codec.h"
#include "modules/datastore/lazy_names.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
using mosswork::core::LogLevel;

namespace mosswork::datastore {
namespace {

constexpr const char* kCachePrefix = "metric_query_cache:";

void info(const std::string& text) { log_text(LogLevel::kInfo, text); }

// str(value) for log lines and the key, as an f-string writes it.
std::string str_of(py::handle value) { return text_of(value); }

py::object fetch_redis_metric_cache(py::module_ m, py::object x) {
  try {
    py::object get = x.attr("get");
    py::object question = get("question", "");
    py::object origin_question = get("origin_question", get("question", ""));
    py::object app_id = get("app_id", "");
    info("fetch_redis_cache - 原始问题: '" + str_of(origin_question) + "', 当前问题: '" +
         str_of(question) + "'");
    const std::string cache_key = kCachePrefix + str_of(app_id);

    if (!PyObject_IsTrue(m.attr("redis_key_exists")(cache_key).ptr())) {
      info("Redis key不存在: " + cache_key);
      return x;
    }
    py::object cached = m.attr("get_redis_data")(cache_key, origin_question, py::none());
    const int hit = PyObject_IsTrue(cached.ptr());
    if (hit < 0) throw py::error_already_set();
    if (!hit) {
      info("未命中缓存: " + str_of(origin_question));
      return x;
    }
    info("命中缓存: " + str_of(origin_question));

    try {
      py::object data = py::isinstance<py::str>(cached) ? bridge::json::loads(cached) : cached;
      py::object lookup = data.attr("get");
      x[py::str("metric_query")] = lookup("metric_query", py::list());
      x[py::str("metric_intents")] = lookup("metric_intents", py::list());
      x[py::str("metric_query_metadata")] = lookup("metric_query_metadata", py::dict());
      x[py::str("response_type")] = lookup("response_type", py::list());
      x[py::str("content_source")] = lookup("content_source", py::list());
      x[py::str("cache_hit")] = py::bool_(true);
      if (data.contains("insight")) {
        py::object insight = data[py::str("insight")];
        x[py::str("cached_insight")] = insight;
        const std::size_t length = py::len(insight.attr("get")("content", ""));
        info("缓存中包含思考过程，内容长度: " + std::to_string(length));
      }
      info("缓存数据解析成功: metric_query=" + std::to_string(py::len(x[py::str("metric_query")])) +
           ", metric_intents=" + std::to_string(py::len(x[py::str("metric_intents")])));
    } catch (py::error_already_set& e) {
      if (!e.matches(py::module_::import("json").attr("JSONDecodeError"))) throw;
      log_text(LogLevel::kError, "缓存数据解析失败: " + error_text(e));
    }
    return x;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_text(LogLevel::kError, "检查缓存失败: " + error_text(e));
  } catch (const std::exception& e) {
    // A C++ failure (a cast, a core error) degrades to a miss like any other.
    log_text(LogLevel::kError, std::string("检查缓存失败: ") + e.what());
  }
  return x;
}

}  // namespace

void bind_metric_cache(py::module_& m) {
  py::module_ self = m;
  py::cpp_function step(
      [self](py::object x) { return fetch_redis_metric_cache(self, std::move(x)); },
      py::name("fetch_redis_metric_cache"), py::arg("x"),
      "Pipeline step: copies a cached metric-query answer for the origin question into x.");
  // Wrapped at first access: building a runnable imports LangChain's runnables.
  py::object body = std::move(step);
  publish_lazily("fetch_redis_metric_cache",
                 [self, body] { return self.attr("chain_decorator")(body); });
}

}  // namespace mosswork::datastore
