// Mapping of rabbitmq-c's failures onto the core error kinds and their texts.
#include <gtest/gtest.h>

#include <string>

#include "core/amqp/errors.h"
#include "core/common/errors.h"

namespace core = mosswork::core;
using core::amqp::library_reply;
using core::amqp::throw_error;

namespace {

template <typename Kind>
std::string text_of_thrown(const amqp_rpc_reply_t& reply) {
  try {
    throw_error(reply, "publishing");
  } catch (const Kind& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong kind of error: " << e.what();
  }
  return {};
}

amqp_rpc_reply_t server_reply(amqp_method_number_t id, void* decoded) {
  amqp_rpc_reply_t reply{};
  reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
  reply.reply.id = id;
  reply.reply.decoded = decoded;
  return reply;
}

}  // namespace

TEST(AmqpErrors, LibraryStatusesPickTheErrorKind) {
  EXPECT_NE(text_of_thrown<core::Timeout>(library_reply(AMQP_STATUS_TIMEOUT)), "");
  EXPECT_NE(text_of_thrown<core::Timeout>(library_reply(AMQP_STATUS_HEARTBEAT_TIMEOUT)), "");
  for (int status :
       {AMQP_STATUS_SOCKET_ERROR, AMQP_STATUS_CONNECTION_CLOSED, AMQP_STATUS_SOCKET_CLOSED,
        AMQP_STATUS_TCP_ERROR, AMQP_STATUS_HOSTNAME_RESOLUTION_FAILED}) {
    EXPECT_NE(text_of_thrown<core::ConnectionClosed>(library_reply(status)), "") << status;
  }
  for (int status : {AMQP_STATUS_BAD_AMQP_DATA, AMQP_STATUS_UNKNOWN_METHOD,
                     AMQP_STATUS_WRONG_METHOD, AMQP_STATUS_UNEXPECTED_STATE}) {
    EXPECT_NE(text_of_thrown<core::ProtocolError>(library_reply(status)), "") << status;
  }
  EXPECT_NE(text_of_thrown<core::InvalidArgument>(library_reply(AMQP_STATUS_INVALID_PARAMETER)),
            "");
  amqp_rpc_reply_t none{};
  none.reply_type = AMQP_RESPONSE_NONE;
  EXPECT_NE(text_of_thrown<core::ProtocolError>(none), "");
}

TEST(AmqpErrors, TextLeadsWithContextAndNamesTheLibraryReason) {
  EXPECT_EQ(text_of_thrown<core::ConnectionClosed>(library_reply(AMQP_STATUS_SOCKET_ERROR)),
            std::string("publishing: ") + amqp_error_string2(AMQP_STATUS_SOCKET_ERROR));
  EXPECT_EQ(text_of_thrown<core::Timeout>(library_reply(AMQP_STATUS_TIMEOUT)),
            std::string("publishing: ") + amqp_error_string2(AMQP_STATUS_TIMEOUT));
}

TEST(AmqpErrors, BrokerClosesBecomeReplyErrorsWithCodeAndText) {
  std::string reason = "PRECONDITION_FAILED - inequivalent arg 'type' for exchange 'x'";
  amqp_channel_close_t channel_close{};
  channel_close.reply_code = 406;
  channel_close.reply_text = amqp_bytes_t{reason.size(), reason.data()};
  EXPECT_EQ(
      text_of_thrown<core::ReplyError>(server_reply(AMQP_CHANNEL_CLOSE_METHOD, &channel_close)),
      "publishing: 406 " + reason);

  std::string refused = "ACCESS_REFUSED - Login was refused using authentication mechanism PLAIN.";
  amqp_connection_close_t connection_close{};
  connection_close.reply_code = 403;
  connection_close.reply_text = amqp_bytes_t{refused.size(), refused.data()};
  const amqp_rpc_reply_t login_refused =
      server_reply(AMQP_CONNECTION_CLOSE_METHOD, &connection_close);
  EXPECT_EQ(text_of_thrown<core::ReplyError>(login_refused), "publishing: 403 " + refused);

  amqp_basic_nack_t nack{};
  EXPECT_NE(text_of_thrown<core::ReplyError>(server_reply(AMQP_BASIC_NACK_METHOD, &nack))
                .find("basic.nack"),
            std::string::npos);
  amqp_basic_ack_t ack{};
  EXPECT_NE(text_of_thrown<core::ProtocolError>(server_reply(AMQP_BASIC_ACK_METHOD, &ack)), "");
}
