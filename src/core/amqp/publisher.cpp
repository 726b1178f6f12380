// Publishing one message to a broker exchange over a connection of its own.
#include "core/amqp/publisher.h"

#include <string>

#include "core/amqp/connection.h"
#include "core/amqp/url.h"
#include "core/common/errors.h"

namespace mosswork::core::amqp {
namespace {

constexpr std::string_view kContentType = "application/json";
constexpr std::string_view kContentEncoding = "utf-8";
constexpr std::uint8_t kPersistent = 2;

amqp_bytes_t bytes_of(std::string_view text) {
  return amqp_bytes_t{text.size(), const_cast<char*>(text.data())};
}

// The broker refuses to declare these; kombu skips them the same way.
bool declarable(std::string_view exchange) {
  return !exchange.empty() && !exchange.starts_with("amq.");
}

}  // namespace

void publish(std::string_view url, std::string_view exchange, std::string_view exchange_type,
             std::string_view routing_key, std::string_view body, const PublishOptions& options,
             Log& log) {
  const Url target = parse_url(url);
  const std::string_view type = exchange_type.empty() ? std::string_view("direct") : exchange_type;
  log.lazy(LogLevel::kDebug, [&] {
    return "amqp publish: " + std::to_string(body.size()) + " bytes to exchange '" +
           std::string(exchange) + "' (" + std::string(type) + ") with routing key '" +
           std::string(routing_key) + "' at " + target.host + ":" + std::to_string(target.port) +
           " virtual host '" + target.vhost + "'";
  });

  Connection connection(target, ConnectionOptions{.connect_timeout = options.connect_timeout,
                                                  .reply_timeout = options.reply_timeout});
  if (declarable(exchange)) connection.declare_exchange(exchange, type, true, false);
  if (options.confirm) connection.select_confirms();

  amqp_basic_properties_t properties{};
  properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_CONTENT_ENCODING_FLAG |
                      AMQP_BASIC_DELIVERY_MODE_FLAG;
  properties.content_type = bytes_of(kContentType);
  properties.content_encoding = bytes_of(kContentEncoding);
  properties.delivery_mode = kPersistent;
  connection.publish(exchange, routing_key, body, properties);

  // From here on the message is the broker's: the confirm, or without one the channel's
  // close-ok, shows the publish was handled, and errors before that are the caller's to see.
  if (options.confirm) {
    connection.wait_for_confirm(1);
  } else {
    connection.close_channel();
  }
  try {
    connection.close();
  } catch (const Error& e) {
    log.warning(std::string("amqp publish: message accepted, but ") + e.what());
  }
}

void publish(std::string_view url, std::string_view exchange, std::string_view exchange_type,
             std::string_view routing_key, std::string_view body, const PublishOptions& options) {
  NullLog log;
  publish(url, exchange, exchange_type, routing_key, body, options, log);
}

}  // namespace mosswork::core::amqp
