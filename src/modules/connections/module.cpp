// connections: reads the service configuration once and builds every shared service client.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "bridge/config.h"
#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "core/amqp/publisher.h"
#include "core/build/description.h"
#include "core/common/url.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
using mosswork::bridge::config_value;
using mosswork::bridge::Domain;
using mosswork::bridge::is_on;

namespace mosswork::connections {
namespace {

// The text form of a configured value in URLs and lines: str() of it, as print and f-strings do.
std::string text(py::handle v) { return py::str(v).cast<std::string>(); }

// User names and passwords in URLs: percent-encoded, "/" kept.
std::string escape(py::handle v, const char* key) {
  if (v.is_none()) throw py::type_error(std::string(key) + " must be text, not None");
  return core::quote(text(v));
}

}  // namespace

void init_module(py::module_& m) {
  py::object config = py::module_::import("configs").attr("get_configs")("service")["service"];
  m.attr("config") = config;
  auto get = [&](const char* key, py::object fallback = py::none()) {
    return config_value(config, key, fallback);
  };
  auto print = [](auto&&... parts) {
    py::module_::import("builtins").attr("print")(parts...);
  };

  // Plain Redis.
  py::object redis_host = get("redis_host");
  py::object redis_port = get("redis_port");
  py::object redis_username = get("redis_username", py::str("default"));
  py::object redis_password = get("redis_password", py::str(""));
  if (!is_on(redis_password)) redis_password = py::str("");
  py::object redis_db = get("redis_db");
  py::object redis_pool_max_connections = get("redis_pool_max_connections");
  std::string redis_escaped_username = escape(redis_username, "redis_username");
  std::string redis_escaped_password = escape(redis_password, "redis_password");
  const bool has_password = !text(redis_password).empty();
  py::object r = py::cast(make_redis(redis_host, redis_port, redis_db,
                                     has_password ? redis_password : py::none(), py::none(),
                                     py::float_(30.0), redis_pool_max_connections));
  std::string redis_url =
      has_password ? "redis://" + redis_escaped_username + ":" + redis_escaped_password + "@" +
                         text(redis_host) + ":" + text(redis_port) + "/" + text(redis_db)
                   : "redis://" + redis_escaped_username + "@" + text(redis_host) + ":" +
                         text(redis_port) + "/" + text(redis_db);
  m.attr("redis_host") = redis_host;
  m.attr("redis_port") = redis_port;
  m.attr("redis_username") = redis_username;
  m.attr("redis_password") = redis_password;
  m.attr("redis_db") = redis_db;
  m.attr("redis_pool_max_connections") = redis_pool_max_connections;
  m.attr("redis_escaped_username") = redis_escaped_username;
  m.attr("redis_escaped_password") = redis_escaped_password;
  m.attr("r") = r;

  // Redis mode.
  py::object redis_cluster = get("redis_cluster");
  py::object redis_sentinel_servers = get("redis_sentinel_servers");
  py::object redis_cluster_service_name = py::none();
  py::object r_master = py::none();
  py::object r_slaver = py::none();
  m.attr("redis_cluster") = redis_cluster;
  m.attr("redis_sentinel_servers") = redis_sentinel_servers;
  if (is_on(redis_sentinel_servers)) {
    redis_cluster_service_name = get("redis_cluster_service_name");
    py::object sentinel_cls = m.attr("Sentinel");
    py::object sentinel = sentinel_cls(redis_sentinel_servers, py::arg("password") = redis_password,
                                       py::arg("socket_timeout") = 5);
    m.attr("sentinel") = sentinel;
    auto pair_args = [&](const char* method) {
      return sentinel.attr(method)(redis_cluster_service_name, py::arg("password") = redis_password,
                                   py::arg("socket_timeout") = 5, py::arg("db") = 0,
                                   py::arg("username") = "default");
    };
    r_master = pair_args("master_for");
    r_slaver = pair_args("slave_for");
    if (is_on(redis_cluster)) {
      redis_url.clear();
      for (py::handle pair : redis_sentinel_servers) {
        py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
        redis_url += "sentinel://" + redis_escaped_username + ":" + redis_escaped_password + "@" +
                     text(seq[0]) + ":" + text(seq[1]) + ";";
      }
      print("connecting redis sentinel", redis_sentinel_servers);
    } else {
      print("connecting redis", redis_host, redis_port);
    }
  } else {
    print("connecting redis", redis_host, redis_port);
  }
  m.attr("redis_cluster_service_name") = redis_cluster_service_name;
  m.attr("r_master") = r_master;
  m.attr("r_slaver") = r_slaver;
  m.attr("redis_url") = redis_url;

  // RabbitMQ.
  py::object rabbitmq_host = get("rabbitmq_host");
  py::object rabbitmq_port = get("rabbitmq_port");
  py::object rabbitmq_username = get("rabbitmq_username", py::str("guest"));
  py::object rabbitmq_password = get("rabbitmq_password", py::str("quill"));
  py::object rabbitmq_vhost = get("rabbitmq_vhost", py::str("/"));
  std::string rabbitmq_escaped_username = escape(rabbitmq_username, "rabbitmq_username");
  std::string rabbitmq_escaped_password =
      is_on(rabbitmq_password) ? escape(rabbitmq_password, "rabbitmq_password") : std::string();
  std::string host_part = text(rabbitmq_host) + ":" + text(rabbitmq_port) + "/" + text(rabbitmq_vhost);
  std::string rabbitmq_url =
      is_on(rabbitmq_password)
          ? "amqp://" + rabbitmq_escaped_username + ":" + rabbitmq_escaped_password + "@" + host_part
          : "amqp://" + rabbitmq_escaped_username + "@" + host_part;
  m.attr("rabbitmq_host") = rabbitmq_host;
  m.attr("rabbitmq_port") = rabbitmq_port;
  m.attr("rabbitmq_username") = rabbitmq_username;
  m.attr("rabbitmq_password") = rabbitmq_password;
  m.attr("rabbitmq_vhost") = rabbitmq_vhost;
  m.attr("rabbitmq_escaped_username") = rabbitmq_escaped_username;
  m.attr("rabbitmq_escaped_password") = rabbitmq_escaped_password;
  m.attr("rabbitmq_url") = rabbitmq_url;
  // The address send_msg really uses: the same parts, escaped without exception.
  {
    std::string user = core::quote(text(rabbitmq_username), "");
    std::string pass = is_on(rabbitmq_password) ? core::quote(text(rabbitmq_password), "") : "";
    std::string vhost = core::quote(text(rabbitmq_vhost), "");
    m.attr("_broker_url") = "amqp://" + user + (pass.empty() ? "" : ":" + pass) + "@" +
                            text(rabbitmq_host) + ":" + text(rabbitmq_port) + "/" + vhost;
  }
  print("connecting rabbitmq", rabbitmq_host, rabbitmq_port);

  // OCR.
  py::object ocr_service_endpoint = get("ocr_service_endpoint");
  m.attr("ocr_service_endpoint") = ocr_service_endpoint;
  print("ocr service endpoint:", ocr_service_endpoint);
}

}  // namespace mosswork::connections

PYBIND11_MODULE(connections, m) {
  namespace conn = mosswork::connections;
  mosswork::bridge::install_error_translator();
  m.doc() = "The service's shared clients, built once from the configuration section \"service\".";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  conn::bind_redis(m);
  m.def(
      "send_msg",
      [m](py::handle msg_body, const std::string& exchange, const std::string& routing_key,
          const std::string& exchange_type) {
        std::string body = mosswork::bridge::json::dumps_utf8(msg_body, true);
        std::string url = py::str(m.attr("_broker_url")).cast<std::string>();
        mosswork::bridge::released(Domain::kAmqp, [&] {
          mosswork::core::amqp::publish(url, exchange, exchange_type, routing_key, body);
        });
      },
      py::arg("msg_body"), py::arg("exchange"), py::arg("routing_key"),
      py::arg("exchange_type") = "topic",
      "Publishes msg_body as JSON to the exchange (declared with its type) over a connection of "
      "its own.");
  conn::init_module(m);
}
