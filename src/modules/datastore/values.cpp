// JSON values in Redis hashes: reads, writes, scans, thoughts and the hash-read pipeline step.
#include <pybind11/eval.h>

#include <string>
#include <vector>

#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "bridge/logger.h"
#include "modules/datastore/lazy_names.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
namespace json = mosswork::bridge::json;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
using mosswork::core::LogLevel;
using mosswork::core::redis::Reply;

namespace mosswork::datastore {
namespace {

constexpr const char* kThoughtPrefix = "thought:";
constexpr const char* kThoughtTtl = "600";

// A stored value, as text, parsed as JSON; the text itself when it is not JSON.
py::object parse_or_text(const std::string& bytes) {
  py::str text = decode(bytes);
  try {
    return json::loads(text);
  } catch (py::error_already_set&) {
    return text;
  }
}

py::object get_redis_data(const RedisAccess& access, py::handle name, py::handle key,
                          py::object fallback) {
  auto client = access.write("hget");
  std::string n = encode_arg(name), k = encode_arg(key);
  Reply reply = released(Domain::kRedis, [&] { return client.command({"HGET", n, k}); });
  if (reply.is_bulk() && !reply.str().empty()) return parse_or_text(reply.str());
  py::str name_text = py::str(name);
  if (PySequence_Contains(name_text.ptr(), py::str("thought").ptr()) == 1) return fallback;
  log_text(LogLevel::kWarning,
           "Get empty data form redis : name:" + text_of(name) + ", key:" + text_of(key));
  return fallback;
}

void hset_redis_data(const RedisAccess& access, py::handle name, py::handle key, py::handle value,
                     py::handle ttl) {
  // A value that cannot be serialised fails before anything is sent.
  std::string body = json::dumps_utf8(value, false);
  const int positive = PyObject_RichCompareBool(ttl.ptr(), py::int_(0).ptr(), Py_GT);
  if (positive < 0) throw py::error_already_set();
  auto client = access.write("hset");
  std::string n = encode_arg(name), k = encode_arg(key);
  std::string t = positive ? encode_arg(ttl) : std::string();
  released(Domain::kRedis, [&] {
    client.command({"HSET", n, k, body});
    if (positive) client.command({"EXPIRE", n, t});
  });
}

py::dict decoded_pairs(const Reply& reply) {
  py::dict out;
  const auto& el = reply.elements();
  for (std::size_t i = 0; i + 1 < el.size(); i += 2)
    out[decode(el[i].str())] = decode(el[i + 1].str());
  return out;
}

py::dict getall_redis_data(const RedisAccess& access, py::handle name) {
  auto client = access.read("hgetall");
  std::string n = encode_arg(name);
  Reply reply = released(Domain::kRedis, [&] { return client.command({"HGETALL", n}); });
  if (reply.is_array() && !reply.elements().empty()) return decoded_pairs(reply);
  log_text(LogLevel::kWarning, "Get empty data form redis : name:" + text_of(name));
  return py::dict();
}

py::dict hscan_redis_data(const RedisAccess& access, py::handle key, py::handle match) {
  auto client = access.read("hscan");
  std::string k = encode_arg(key);
  const bool has_match = !match.is_none();
  std::string pattern = has_match ? encode_arg(match) : std::string();
  py::dict out;
  std::string cursor = "0";
  // The server's cursor sequence ends at 0 after a full iteration.
  do {
    Reply reply = released(Domain::kRedis, [&] {
      if (has_match) return client.command({"HSCAN", k, cursor, "MATCH", pattern});
      return client.command({"HSCAN", k, cursor});
    });
    const auto& parts = reply.elements();
    cursor = parts.at(0).str();
    const auto& el = parts.at(1).elements();
    for (std::size_t i = 0; i + 1 < el.size(); i += 2) {
      py::object value = json::loads(decode(el[i + 1].str()));
      out[decode(el[i].str())] = value;
    }
  } while (cursor != "0");
  return out;
}

void set_thought(const RedisAccess& access, py::handle session_id, py::handle thought_key,
                 py::handle thought_content) {
  std::string name = kThoughtPrefix + text_of(session_id);
  py::str text = json::dumps(thought_content, false);
  std::string body = encode_arg(text);
  if (PySequence_Contains(text.ptr(), py::str("chunk").ptr()) == 0) {
    py::object logger = bridge::service_logger();
    if (logger.attr("isEnabledFor")(10).cast<bool>()) {
      py::str head = text[py::slice(0, 200, 1)];
      log_text(LogLevel::kDebug,
               "set_thought : " + name + " " + text_of(thought_key) + " " + encode_arg(head));
    }
  }
  auto client = access.write("hset");
  std::string k = encode_arg(thought_key);
  released(Domain::kRedis, [&] {
    client.command({"HSET", name, k, body});
    client.command({"EXPIRE", name, kThoughtTtl});
  });
}

// The pipeline step: an async body that runs the blocking read in the loop's default executor,
// so the event loop keeps running; invoke works too, with the same read on the caller's thread.
// The module's chain_decorator is looked up at each call, so LangChain is imported only when a
// step is first made.
constexpr const char* kStepSource = R"(
import asyncio

def make_redis_hget(get_redis_data, module):
    def redis_hget(name, key, default=""):
        async def aget_redis_data(x):
            loop = asyncio.get_running_loop()
            return await loop.run_in_executor(None, get_redis_data, name, key, default)

        def get_redis_data_now(x):
            return get_redis_data(name, key, default)

        step = module.chain_decorator(aget_redis_data)
        step.func = get_redis_data_now
        step.name = "redis_hget_" + str(name) + "_" + str(key)
        return step

    return redis_hget
)";

}  // namespace

void bind_values(py::module_& m, const RedisAccess& access) {
  m.def(
      "get_redis_data",
      [access](py::handle name, py::handle key, py::object fallback) {
        return get_redis_data(access, name, key, std::move(fallback));
      },
      py::arg("name"), py::arg("key"), py::arg("default") = "",
      "A hash field's JSON value; its text when it is not JSON; default when empty.");
  m.def(
      "hset_redis_data",
      [access](py::handle name, py::handle key, py::handle value, py::handle ttl) {
        hset_redis_data(access, name, key, value, ttl);
      },
      py::arg("name"), py::arg("key"), py::arg("value"), py::arg("ttl") = -1,
      "Stores value as JSON text; with ttl > 0 the whole hash expires after ttl seconds.");
  m.def(
      "getall_redis_data", [access](py::handle name) { return getall_redis_data(access, name); },
      py::arg("name"));
  m.def(
      "hscan_redis_data",
      [access](py::handle key, py::handle match) { return hscan_redis_data(access, key, match); },
      py::arg("key"), py::arg("match"));
  m.def(
      "hdel_redis_data",
      [access](py::handle name, py::handle key) {
        auto client = access.write("hdel");
        std::string n = encode_arg(name), k = encode_arg(key);
        released(Domain::kRedis, [&] { client.command({"HDEL", n, k}); });
      },
      py::arg("name"), py::arg("key"));
  m.def(
      "redis_hkey_exists",
      [access](py::handle name, py::handle key) {
        auto client = access.write("hexists");
        std::string n = encode_arg(name), k = encode_arg(key);
        Reply r = released(Domain::kRedis, [&] { return client.command({"HEXISTS", n, k}); });
        return r.integer() != 0;
      },
      py::arg("name"), py::arg("key"));
  m.def(
      "hlen_redis_key",
      [access](py::handle key) {
        auto client = access.read("hlen");
        std::string k = encode_arg(key);
        return released(Domain::kRedis, [&] { return client.command({"HLEN", k}).integer(); });
      },
      py::arg("key"));
  m.def(
      "set_thought",
      [access](py::handle session_id, py::handle thought_key, py::handle thought_content) {
        set_thought(access, session_id, thought_key, thought_content);
      },
      py::arg("session_id"), py::arg("thought_key"), py::arg("thought_content"));

  py::module_ self = m;
  publish_lazily("chain_decorator",
                 [] { return py::module_::import("langchain_core.runnables").attr("chain"); });
  publish_lazily("redis_hget", [self] {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(kStepSource, scope);
    return scope["make_redis_hget"](self.attr("get_redis_data"), self);
  });
}

}  // namespace mosswork::datastore
