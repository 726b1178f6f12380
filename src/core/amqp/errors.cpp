// The one mapping from rabbitmq-c's status and reply codes to the core errors.
#include "core/amqp/errors.h"

#include <cstdio>
#include <string>

#include "core/common/errors.h"

namespace mosswork::core::amqp {
namespace {

std::string text_of(amqp_bytes_t bytes) {
  return std::string(static_cast<const char*>(bytes.bytes), bytes.len);
}

[[noreturn]] void throw_library_error(int status, const std::string& context) {
  const std::string what = context + ": " + amqp_error_string2(status);
  switch (status) {
    case AMQP_STATUS_TIMEOUT:
    case AMQP_STATUS_HEARTBEAT_TIMEOUT:
      throw Timeout(what);
    case AMQP_STATUS_SOCKET_ERROR:
    case AMQP_STATUS_TCP_ERROR:
    case AMQP_STATUS_SOCKET_CLOSED:
    case AMQP_STATUS_CONNECTION_CLOSED:
    case AMQP_STATUS_HOSTNAME_RESOLUTION_FAILED:
    case AMQP_STATUS_TCP_SOCKETLIB_INIT_ERROR:
    case AMQP_STATUS_SSL_ERROR:
    case AMQP_STATUS_SSL_CONNECTION_FAILED:
    case AMQP_STATUS_SSL_HOSTNAME_VERIFY_FAILED:
    case AMQP_STATUS_SSL_PEER_VERIFY_FAILED:
      throw ConnectionClosed(what);
    case AMQP_STATUS_BAD_AMQP_DATA:
    case AMQP_STATUS_UNKNOWN_CLASS:
    case AMQP_STATUS_UNKNOWN_METHOD:
    case AMQP_STATUS_WRONG_METHOD:
    case AMQP_STATUS_UNEXPECTED_STATE:
    case AMQP_STATUS_INCOMPATIBLE_AMQP_VERSION:
    case AMQP_STATUS_BROKER_UNSUPPORTED_SASL_METHOD:
      throw ProtocolError(what);
    case AMQP_STATUS_BAD_URL:
    case AMQP_STATUS_INVALID_PARAMETER:
    case AMQP_STATUS_TABLE_TOO_BIG:
    case AMQP_STATUS_UNSUPPORTED:
      throw InvalidArgument(what);
    default:
      throw Error(what);
  }
}

}  // namespace

amqp_rpc_reply_t library_reply(int status) {
  amqp_rpc_reply_t reply{};
  reply.reply_type = AMQP_RESPONSE_LIBRARY_EXCEPTION;
  reply.library_error = status;
  return reply;
}

void throw_error(const amqp_rpc_reply_t& reply, std::string_view context) {
  const std::string where(context);
  switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
      throw Error(where + ": failed without an error code");
    case AMQP_RESPONSE_NONE:
      throw ProtocolError(where + ": the broker sent no reply");
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
      throw_library_error(reply.library_error, where);
    case AMQP_RESPONSE_SERVER_EXCEPTION:
      break;
  }
  // The broker closed the channel or the whole connection and said why.
  if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD && reply.reply.decoded != nullptr) {
    const auto* close = static_cast<const amqp_channel_close_t*>(reply.reply.decoded);
    throw ReplyError(where + ": " + std::to_string(close->reply_code) + " " +
                     text_of(close->reply_text));
  }
  if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD && reply.reply.decoded != nullptr) {
    const auto* close = static_cast<const amqp_connection_close_t*>(reply.reply.decoded);
    throw ReplyError(where + ": " + std::to_string(close->reply_code) + " " +
                     text_of(close->reply_text));
  }
  if (reply.reply.id == AMQP_BASIC_NACK_METHOD) {
    throw ReplyError(where + ": the broker did not accept the message (basic.nack)");
  }
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(reply.reply.id));
  throw ProtocolError(where + ": the broker answered with unexpected method " + id);
}

}  // namespace mosswork::core::amqp
