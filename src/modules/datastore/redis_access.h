// Client selection and argument and reply helpers shared by the datastore's Redis functions.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "bridge/args.h"
#include "core/common/log.h"
#include "core/redis/client.h"

namespace mosswork::datastore {

// Reads the shared clients from the connections module at every call, so that a changed
// redis_cluster (or a replaced client) takes effect at once.
class RedisAccess {
 public:
  explicit RedisAccess(pybind11::module_ connections) : connections_(std::move(connections)) {}

  // The write client (r_master with redis_cluster on, else r) as a Python object; method names
  // the attribute a missing client would have been asked for, for the error text.
  pybind11::object write_object(const char* method) const;
  pybind11::object read_object(const char* method) const;
  // Their core clients: cheap copies that stay valid while the GIL is released.
  core::redis::Client write(const char* method) const;
  core::redis::Client read(const char* method) const;

  pybind11::object config() const { return connections_.attr("config"); }

 private:
  // The attribute of connections that role maps to ("r" with redis_cluster off).
  const char* attribute(const char* role) const;
  pybind11::object pick(const char* role, const char* method) const;
  core::redis::Client client(const char* role, const char* method) const;

  pybind11::module_ connections_;
};

// One command argument as the Redis client encodes it (the bridge's one encoder).
inline std::string encode_arg(pybind11::handle value) { return bridge::redis_arg(value); }

// str(value) as UTF-8, for key names and log texts.
std::string text_of(pybind11::handle value);

// Strict UTF-8 decoding of reply bytes; invalid input raises UnicodeDecodeError.
pybind11::str decode(std::string_view bytes);

// One finished text to the service logger.
void log_text(core::LogLevel level, const std::string& text);

// The text of a caught Python exception, as str(error) gives it.
std::string error_text(const pybind11::error_already_set& error);

void bind_values(pybind11::module_& m, const RedisAccess& access);
void bind_keys(pybind11::module_& m, const RedisAccess& access);
void bind_retry(pybind11::module_& m, const RedisAccess& access);
void bind_tasks(pybind11::module_& m, const RedisAccess& access);
void bind_metric_cache(pybind11::module_& m);
void bind_files(pybind11::module_& m);
void bind_download(pybind11::module_& m);

}  // namespace mosswork::datastore
