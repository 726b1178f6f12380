// Publishing one message to a broker exchange over a connection of its own.
#pragma once

#include <chrono>
#include <string_view>

#include "core/common/log.h"

namespace mosswork::core::amqp {

struct PublishOptions {
  // Longest wait for the TCP connection to be established.
  std::chrono::milliseconds connect_timeout{std::chrono::seconds(5)};
  // Longest wait for each broker reply: login, declaration, confirm, close.
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(10)};
  // Wait for the broker's publisher confirm (basic.ack) before returning.
  bool confirm = true;
};

// Opens a connection to `url` (amqp://, read as parse_url does), logs in, declares the exchange
// with `exchange_type` (durable, not auto-deleted, not passive; "" means "direct"), publishes
// `body` with `routing_key` as persistent JSON (content type "application/json", encoding
// "utf-8", delivery mode 2), and closes channel and connection. The default exchange "" and the
// broker's own "amq." exchanges are used without a declaration, since the broker refuses one.
//
// Returns once the broker has confirmed the message (or, without `confirm`, once it has closed
// the channel after handling the publish). Failures: unreachable broker ConnectionClosed, silent
// broker Timeout, refused login or unknown virtual host ReplyError ("403 ACCESS_REFUSED ...",
// "530 NOT_ALLOWED ..."), an exchange of another type ReplyError ("406 PRECONDITION_FAILED
// ..."), a bad URL or name InvalidArgument. The socket is freed on every way out. A failure to
// close the connection after the message was accepted is logged as a warning, not thrown: the
// message is on the broker, and a caller retrying would send it twice.
void publish(std::string_view url, std::string_view exchange, std::string_view exchange_type,
             std::string_view routing_key, std::string_view body, const PublishOptions& options,
             Log& log);
void publish(std::string_view url, std::string_view exchange, std::string_view exchange_type,
             std::string_view routing_key, std::string_view body,
             const PublishOptions& options = {});

}  // namespace mosswork::core::amqp
