// Per-scope task accounting, document occupancy, the clean-up against Celery and the limits.
#include <string>

#include "bridge/config.h"
#include "bridge/errors.h"
#include "core/redis/connection.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
using mosswork::core::LogLevel;
using mosswork::core::redis::CommandBatch;
using mosswork::core::redis::Reply;

namespace mosswork::datastore {
namespace {

constexpr const char* kMappings = ":mappings";
constexpr const char* kEnhancedPdfLoader = "pdf解析器(图片、表格增强版)";

py::dict task_doc_mappings(const RedisAccess& access, const std::string& key) {
  auto client = access.read("hgetall");
  std::string h = key + kMappings;
  Reply r = released(Domain::kRedis, [&] { return client.command({"HGETALL", h}); });
  py::dict out;
  const auto& el = r.elements();
  for (std::size_t i = 0; i + 1 < el.size(); i += 2)
    out[decode(el[i].str())] = decode(el[i + 1].str());
  return out;
}

py::list occupied_doc_ids(const RedisAccess& access, const std::string& key) {
  try {
    py::list out;
    for (auto item : task_doc_mappings(access, key)) out.append(item.second);
    return out;
  } catch (py::error_already_set& e) {
    log_text(LogLevel::kError, "Error getting occupied doc IDs: " + error_text(e));
  } catch (const std::exception& e) {
    log_text(LogLevel::kError, std::string("Error getting occupied doc IDs: ") + e.what());
  }
  return py::list();
}

void cleanup(const RedisAccess& access, const std::string& key) {
  const std::string h = key + kMappings;
  try {
    auto reader = access.read("hkeys");
    Reply ids = released(Domain::kRedis, [&] { return reader.command({"HKEYS", h}); });
    if (ids.elements().empty()) return;
    py::object current_app = py::module_::import("celery").attr("current_app");
    for (const auto& id : ids.elements()) {
      py::str task_id = decode(id.str());
      py::object state = current_app.attr("AsyncResult")(task_id).attr("state");
      bool terminal = false;
      for (const char* s : {"SUCCESS", "FAILURE", "REVOKED"}) {
        if (state.equal(py::str(s))) terminal = true;
      }
      if (!terminal) continue;
      // Both removals in one transaction, so the set and the hash never disagree about the task.
      auto writer = access.write("pipeline");
      CommandBatch batch;
      batch.add({"HDEL", h, id.str()}).add({"SREM", key, id.str()});
      released(Domain::kRedis, [&] { writer.pipeline(batch, true); });
      log_text(LogLevel::kInfo, "Cleaned up expired task mapping: " + id.str());
    }
  } catch (py::error_already_set& e) {
    log_text(LogLevel::kError, "Error cleaning up expired task mappings: " + error_text(e));
  } catch (const std::exception& e) {
    log_text(LogLevel::kError, std::string("Error cleaning up expired task mappings: ") + e.what());
  }
}

py::object limit(const RedisAccess& access, const char* key, int fallback) {
  // int() of the configured value: digit text is accepted, anything else raises.
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(
      bridge::config_value(access.config(), key, py::int_(fallback)));
}

}  // namespace

void bind_tasks(py::module_& m, const RedisAccess& access) {
  m.def(
      "increment_task_count_with_doc",
      [access](const std::string& key, const std::string& task_id, const std::string& doc_id,
               long long ttl) {
        auto client = access.write("pipeline");
        const std::string h = key + kMappings, t = std::to_string(ttl);
        CommandBatch batch;
        batch.add({"SADD", key, task_id})
            .add({"HSET", h, task_id, doc_id})
            .add({"EXPIRE", key, t})
            .add({"EXPIRE", h, t})
            .add({"SCARD", key});
        auto replies = released(Domain::kRedis, [&] { return client.pipeline(batch, true); });
        return replies.at(4).integer();
      },
      py::arg("key"), py::arg("task_id"), py::arg("doc_id"), py::arg("ttl") = 3600,
      "Registers the task and its document in one transaction; returns the scope's count.");
  m.def(
      "decrement_task_count_with_doc",
      [access](const std::string& key, const std::string& task_id) {
        auto client = access.write("pipeline");
        const std::string h = key + kMappings;
        CommandBatch batch;
        batch.add({"SREM", key, task_id}).add({"HDEL", h, task_id}).add({"SCARD", key});
        auto replies = released(Domain::kRedis, [&] { return client.pipeline(batch, true); });
        return replies.at(2).integer();
      },
      py::arg("key"), py::arg("task_id"),
      "Removes the task and its document in one transaction; returns the scope's count.");
  m.def(
      "get_task_count",
      [access](const std::string& key) {
        auto client = access.read("scard");
        return released(Domain::kRedis, [&] { return client.command({"SCARD", key}).integer(); });
      },
      py::arg("key"));
  m.def(
      "get_task_doc_mappings",
      [access](const std::string& key) { return task_doc_mappings(access, key); }, py::arg("key"));
  m.def(
      "get_occupied_doc_ids",
      [access](const std::string& key) { return occupied_doc_ids(access, key); }, py::arg("key"));
  m.def(
      "is_doc_occupied",
      [access](const std::string& key, py::handle doc_id) {
        try {
          py::list ids = occupied_doc_ids(access, key);
          const int found = PySequence_Contains(ids.ptr(), doc_id.ptr());
          if (found < 0) throw py::error_already_set();
          return found == 1;
        } catch (py::error_already_set& e) {
          log_text(LogLevel::kError,
                   "Error checking if doc " + text_of(doc_id) + " is occupied: " + error_text(e));
        }
        return false;
      },
      py::arg("key"), py::arg("doc_id"));
  m.def(
      "cleanup_expired_task_mappings", [access](const std::string& key) { cleanup(access, key); },
      py::arg("key"), "Removes the entries of tasks that Celery reports as finished.");
  m.def("get_kb_task_limit", [access] { return limit(access, "kb_task_limit", 3); });
  m.def("get_enhanced_pdf_task_limit",
        [access] { return limit(access, "enhanced_pdf_task_limit", 6); });
  m.def(
      "is_enhanced_pdf_loader",
      [](py::handle loader_name) { return py::str(kEnhancedPdfLoader).equal(loader_name); },
      py::arg("loader_name"));
}

}  // namespace mosswork::datastore
