// Client selection and argument and reply helpers shared by the datastore's Redis functions.
#include "modules/datastore/redis_access.h"

#include "bridge/args.h"
#include "bridge/clients.h"
#include "bridge/config.h"
#include "bridge/errors.h"
#include "bridge/logger.h"
#include "bridge/text.h"

namespace py = pybind11;

namespace mosswork::datastore {

const char* RedisAccess::attribute(const char* role) const {
  return bridge::is_on(connections_.attr("redis_cluster")) ? role : "r";
}

py::object RedisAccess::pick(const char* role, const char* method) const {
  py::object client = connections_.attr(attribute(role));
  if (client.is_none()) {
    // What calling a method on the missing client raises in Python.
    throw py::attribute_error(std::string("'NoneType' object has no attribute '") + method + "'");
  }
  return client;
}

py::object RedisAccess::write_object(const char* method) const { return pick("r_master", method); }
py::object RedisAccess::read_object(const char* method) const { return pick("r_slaver", method); }

core::redis::Client RedisAccess::client(const char* role, const char* method) const {
  py::object client = pick(role, method);
  const std::string name = std::string("connections.") + attribute(role);
  return bridge::arg<const connections::PyRedis&>(client, name.c_str()).client();
}

core::redis::Client RedisAccess::write(const char* method) const {
  return client("r_master", method);
}

core::redis::Client RedisAccess::read(const char* method) const {
  return client("r_slaver", method);
}

std::string text_of(py::handle value) { return encode_arg(py::str(value)); }

py::str decode(std::string_view bytes) { return bridge::decode_utf8(bytes); }

void log_text(core::LogLevel level, const std::string& text) {
  bridge::log_object(level, decode(text));
}

std::string error_text(const py::error_already_set& error) {
  return py::str(error.value()).cast<std::string>();
}

}  // namespace mosswork::datastore
