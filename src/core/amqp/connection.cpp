// One broker connection with one channel, closed and freed on every way out.
#include "core/amqp/connection.h"

#include <exception>

#include "core/amqp/errors.h"
#include "core/common/chrono_units.h"
#include "core/common/errors.h"

namespace mosswork::core::amqp {
namespace {

constexpr amqp_channel_t kChannel = 1;

amqp_bytes_t bytes_of(std::string_view text) {
  return amqp_bytes_t{text.size(), const_cast<char*>(text.data())};
}

void require_positive(std::chrono::milliseconds duration, const char* name) {
  if (duration.count() <= 0) {
    throw InvalidArgument(std::string("AMQP ") + name + " must be positive");
  }
}

// AMQP short strings carry at most 255 bytes; longer ones would fail mid-frame.
void require_short_string(std::string_view text, const char* what) {
  if (text.size() > 255) {
    throw InvalidArgument(std::string(what) + " is longer than 255 bytes");
  }
}

}  // namespace

void Connection::StateDeleter::operator()(amqp_connection_state_t state) const noexcept {
  // Also deletes the socket and closes its descriptor.
  amqp_destroy_connection(state);
}

Connection::Connection(const Url& url, const ConnectionOptions& options)
    : where_((url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + ":" +
             std::to_string(url.port)),
      reply_timeout_(options.reply_timeout) {
  require_positive(options.connect_timeout, "connect time-out");
  require_positive(options.reply_timeout, "reply time-out");
  state_.reset(amqp_new_connection());
  if (!state_) throw Error("cannot create an AMQP connection: out of memory");
  amqp_socket_t* socket = amqp_tcp_socket_new(state_.get());
  if (socket == nullptr) throw Error("cannot create an AMQP socket: out of memory");

  const timeval reply_tv = to_timeval(reply_timeout_);
  if (int status = amqp_set_handshake_timeout(state_.get(), &reply_tv); status != AMQP_STATUS_OK) {
    fail(library_reply(status), "cannot set the AMQP handshake time-out");
  }
  if (int status = amqp_set_rpc_timeout(state_.get(), &reply_tv); status != AMQP_STATUS_OK) {
    fail(library_reply(status), "cannot set the AMQP reply time-out");
  }

  timeval connect_tv = to_timeval(options.connect_timeout);
  if (int status = amqp_socket_open_noblock(socket, url.host.c_str(), url.port, &connect_tv);
      status != AMQP_STATUS_OK) {
    fail(library_reply(status), "cannot connect to the broker at " + where_);
  }
  socket_usable_ = true;

  check(amqp_login(state_.get(), url.vhost.c_str(), 0, AMQP_DEFAULT_FRAME_SIZE, 0,
                   AMQP_SASL_METHOD_PLAIN, url.user.c_str(), url.password.c_str()),
        "cannot log in to the broker at " + where_ + " as '" + url.user + "' (virtual host '" +
            url.vhost + "')");
  logged_in_ = true;

  if (amqp_channel_open(state_.get(), kChannel) == nullptr) {
    fail(amqp_get_rpc_reply(state_.get()), "cannot open a channel to the broker at " + where_);
  }
  channel_open_ = true;
}

Connection::~Connection() { shut_down(); }

void Connection::declare_exchange(std::string_view name, std::string_view type, bool durable,
                                  bool auto_delete) {
  require_short_string(name, "exchange name");
  require_short_string(type, "exchange type");
  if (amqp_exchange_declare(state_.get(), kChannel, bytes_of(name), bytes_of(type), 0,
                            durable ? 1 : 0, auto_delete ? 1 : 0, 0, amqp_empty_table) == nullptr) {
    fail(amqp_get_rpc_reply(state_.get()),
         "cannot declare exchange '" + std::string(name) + "' of type '" + std::string(type) + "'");
  }
}

void Connection::select_confirms() {
  if (amqp_confirm_select(state_.get(), kChannel) == nullptr) {
    fail(amqp_get_rpc_reply(state_.get()), "cannot turn on publisher confirms");
  }
}

void Connection::publish(std::string_view exchange, std::string_view routing_key,
                         std::string_view body, const amqp_basic_properties_t& properties) {
  require_short_string(exchange, "exchange name");
  require_short_string(routing_key, "routing key");
  if (int status = amqp_basic_publish(state_.get(), kChannel, bytes_of(exchange),
                                      bytes_of(routing_key), 0, 0, &properties, bytes_of(body));
      status != AMQP_STATUS_OK) {
    fail(library_reply(status), "cannot publish to exchange '" + std::string(exchange) + "'");
  }
}

void Connection::wait_for_confirm(std::uint64_t delivery_tag) {
  using Clock = std::chrono::steady_clock;
  const std::string context = "no confirmation of the message from the broker at " + where_;
  const Clock::time_point deadline = Clock::now() + reply_timeout_;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) fail(library_reply(AMQP_STATUS_TIMEOUT), context);
    timeval tv = to_timeval(left);
    amqp_frame_t frame{};
    if (int status = amqp_simple_wait_frame_noblock(state_.get(), &frame, &tv);
        status != AMQP_STATUS_OK) {
      fail(library_reply(status), context);
    }
    if (frame.frame_type != AMQP_FRAME_METHOD) continue;
    const amqp_method_t& method = frame.payload.method;
    if (method.id == AMQP_BASIC_ACK_METHOD || method.id == AMQP_BASIC_NACK_METHOD) {
      std::uint64_t tag = 0;
      bool multiple = false;
      if (method.id == AMQP_BASIC_ACK_METHOD) {
        const auto* ack = static_cast<const amqp_basic_ack_t*>(method.decoded);
        tag = ack->delivery_tag;
        multiple = ack->multiple != 0;
      } else {
        const auto* nack = static_cast<const amqp_basic_nack_t*>(method.decoded);
        tag = nack->delivery_tag;
        multiple = nack->multiple != 0;
      }
      if (tag != delivery_tag && !(multiple && tag > delivery_tag)) continue;
      if (method.id == AMQP_BASIC_ACK_METHOD) return;
    }
    if (method.id == AMQP_BASIC_NACK_METHOD || method.id == AMQP_CHANNEL_CLOSE_METHOD ||
        method.id == AMQP_CONNECTION_CLOSE_METHOD) {
      amqp_rpc_reply_t reply{};
      reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
      reply.reply = method;
      fail(reply, context);
    }
    // Anything else (connection.blocked, a stray frame) does not answer the wait.
  }
}

void Connection::close_channel() {
  if (!channel_open_) return;
  check(amqp_channel_close(state_.get(), kChannel, AMQP_REPLY_SUCCESS),
        "cannot close the channel to the broker at " + where_);
  channel_open_ = false;
}

void Connection::close() {
  if (!state_) return;
  close_channel();
  check(amqp_connection_close(state_.get(), AMQP_REPLY_SUCCESS),
        "cannot close the connection to the broker at " + where_);
  logged_in_ = false;
  state_.reset();
}

void Connection::check(const amqp_rpc_reply_t& reply, std::string_view context) {
  if (reply.reply_type != AMQP_RESPONSE_NORMAL) fail(reply, context);
}

void Connection::fail(const amqp_rpc_reply_t& reply, std::string_view context) {
  // The error is built first: the broker's text lives in buffers that closing may reuse.
  std::exception_ptr error;
  try {
    throw_error(reply, context);
  } catch (...) {
    error = std::current_exception();
  }
  if (state_ && reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION) {
    // The broker waits for our close-ok; the connection itself may still be good.
    if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
      amqp_channel_close_ok_t ok{};
      amqp_send_method(state_.get(), kChannel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
      channel_open_ = false;
    } else if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
      amqp_connection_close_ok_t ok{};
      amqp_send_method(state_.get(), 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
      logged_in_ = false;
      channel_open_ = false;
    }
  } else if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION) {
    socket_usable_ = false;
  }
  shut_down();
  std::rethrow_exception(error);
}

void Connection::shut_down() noexcept {
  if (!state_) return;
  if (socket_usable_ && logged_in_) {
    bool usable = true;
    if (channel_open_) {
      const amqp_rpc_reply_t reply = amqp_channel_close(state_.get(), kChannel, AMQP_REPLY_SUCCESS);
      // After a time-out or a broken socket another request would only wait again.
      usable = reply.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION;
    }
    if (usable) amqp_connection_close(state_.get(), AMQP_REPLY_SUCCESS);
  }
  channel_open_ = false;
  logged_in_ = false;
  state_.reset();
}

}  // namespace mosswork::core::amqp
