// Whole keys, sets, expiry, the named lock and the per-task retry counters.
#include <string>

#include "bridge/errors.h"
#include "core/redis/connection.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
using mosswork::core::redis::CommandBatch;
using mosswork::core::redis::Reply;

namespace mosswork::datastore {

void bind_keys(py::module_& m, const RedisAccess& access) {
  m.def(
      "delete_redis_key",
      [access](py::handle key) {
        auto client = access.write("delete");
        std::string k = encode_arg(key);
        return released(Domain::kRedis, [&] { return client.command({"DEL", k}).integer(); });
      },
      py::arg("key"));
  m.def(
      "redis_key_exists",
      [access](py::handle name) {
        auto client = access.read("exists");
        std::string n = encode_arg(name);
        return released(Domain::kRedis, [&] { return client.command({"EXISTS", n}).integer(); }) >
               0;
      },
      py::arg("name"));
  m.def(
      "redis_keys",
      [access](py::handle pattern) {
        auto client = access.read("keys");
        std::string p = encode_arg(pattern);
        Reply r = released(Domain::kRedis, [&] { return client.command({"KEYS", p}); });
        py::list out;
        for (const auto& e : r.elements()) out.append(py::bytes(e.str()));
        return out;
      },
      py::arg("pattern"), "Matching key names as bytes, in reply order.");
  m.def(
      "redis_sadd",
      [access](py::handle key, py::handle value) {
        auto client = access.write("sadd");
        std::string k = encode_arg(key), v = encode_arg(value);
        released(Domain::kRedis, [&] { client.command({"SADD", k, v}); });
      },
      py::arg("key"), py::arg("value"));
  m.def(
      "redis_srem",
      [access](py::handle key, py::handle value) {
        auto client = access.write("srem");
        std::string k = encode_arg(key), v = encode_arg(value);
        released(Domain::kRedis, [&] { client.command({"SREM", k, v}); });
      },
      py::arg("key"), py::arg("value"));
  m.def(
      "redis_scard",
      [access](py::handle key) {
        auto client = access.read("scard");
        std::string k = encode_arg(key);
        return released(Domain::kRedis, [&] { return client.command({"SCARD", k}).integer(); });
      },
      py::arg("key"));
  m.def(
      "redis_expire",
      [access](py::handle key, py::handle ttl) {
        auto client = access.write("expire");
        std::string k = encode_arg(key), t = encode_arg(ttl);
        released(Domain::kRedis, [&] { client.command({"EXPIRE", k, t}); });
      },
      py::arg("key"), py::arg("ttl"));
  m.def(
      "redis_lock",
      [access](py::handle name, py::handle timeout, py::handle blocking) {
        // The write client's own lock object; nothing is sent until acquire.
        return access.write_object("lock").attr("lock")(name, py::arg("timeout") = timeout,
                                                        py::arg("blocking") = blocking);
      },
      py::arg("name"), py::arg("timeout") = 5, py::arg("blocking") = false);
}

void bind_retry(py::module_& m, const RedisAccess& access) {
  auto key_of = [](const std::string& task_id) { return "retry_count:" + task_id; };
  m.def(
      "get_retry_count",
      [access, key_of](const std::string& task_id) -> py::object {
        auto client = access.read("get");
        std::string k = key_of(task_id);
        Reply r = released(Domain::kRedis, [&] { return client.command({"GET", k}); });
        if (!r.is_bulk() || r.str().empty()) return py::int_(0);
        // int() of the stored bytes: the same conversion error for a non-integer value.
        return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(
            py::bytes(r.str()));
      },
      py::arg("task_id"));
  m.def(
      "increment_retry_count",
      [access, key_of](const std::string& task_id, long long ttl) {
        auto client = access.write("pipeline");
        std::string k = key_of(task_id), t = std::to_string(ttl);
        CommandBatch batch;
        batch.add({"INCR", k}).add({"EXPIRE", k, t});
        auto replies = released(Domain::kRedis, [&] { return client.pipeline(batch, true); });
        return replies.at(0).integer();
      },
      py::arg("task_id"), py::arg("ttl") = 3600);
  m.def(
      "reset_retry_count",
      [access, key_of](const std::string& task_id) {
        auto client = access.write("delete");
        std::string k = key_of(task_id);
        released(Domain::kRedis, [&] { client.command({"DEL", k}); });
      },
      py::arg("task_id"));
}

}  // namespace mosswork::datastore
