// One broker connection with one channel, closed and freed on every way out.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/amqp/rabbitmq.h"
#include "core/amqp/url.h"

namespace mosswork::core::amqp {

struct ConnectionOptions {
  // Longest wait for the TCP connection to be established.
  std::chrono::milliseconds connect_timeout{std::chrono::seconds(5)};
  // Longest wait for each broker reply: the login handshake, every request, a confirm, the close.
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(10)};
};

// Connects, logs in (PLAIN) and opens channel 1 on construction. Every failing call throws the
// mapped core error after closing what is left: it answers a broker's close, closes the
// connection cleanly when the socket still works, and frees the socket in any case. The
// destructor does the same for a connection still open. Not for use by two threads at once.
class Connection {
 public:
  Connection(const Url& url, const ConnectionOptions& options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // exchange.declare, not passive, not internal, without arguments.
  void declare_exchange(std::string_view name, std::string_view type, bool durable,
                        bool auto_delete);
  // confirm.select: from now on the broker acknowledges each published message.
  void select_confirms();
  // basic.publish with its content header and body frames; not mandatory, not immediate.
  void publish(std::string_view exchange, std::string_view routing_key, std::string_view body,
               const amqp_basic_properties_t& properties);
  // Waits for the broker's basic.ack covering `delivery_tag` (the first message is 1).
  void wait_for_confirm(std::uint64_t delivery_tag);
  // Closes channel 1; its close-ok shows that the broker has handled everything sent before.
  void close_channel();
  // Closes the channel if still open, then the connection, and frees the socket.
  void close();

 private:
  struct StateDeleter {
    void operator()(amqp_connection_state_t state) const noexcept;
  };

  [[noreturn]] void fail(const amqp_rpc_reply_t& reply, std::string_view context);
  void check(const amqp_rpc_reply_t& reply, std::string_view context);
  // Best-effort, bounded close of whatever is still open; never throws.
  void shut_down() noexcept;

  std::unique_ptr<amqp_connection_state_t_, StateDeleter> state_;
  std::string where_;  // "host:port", for messages
  std::chrono::milliseconds reply_timeout_;
  bool socket_usable_ = false;  // false after a library failure: the stream may be mid-frame
  bool logged_in_ = false;      // the broker holds an open connection for us
  bool channel_open_ = false;
};

}  // namespace mosswork::core::amqp
