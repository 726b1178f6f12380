// The one mapping from rabbitmq-c's status and reply codes to the core errors.
#pragma once

#include <string_view>

#include "core/amqp/rabbitmq.h"

namespace mosswork::core::amqp {

// Throws the core error for a failed reply; `context` says what was being done and leads the
// text. Library failures: time-outs become Timeout, socket and connection failures
// ConnectionClosed, malformed frames and unexpected methods ProtocolError, bad parameters
// InvalidArgument. A broker's channel.close or
// connection.close becomes ReplyError with its code and text, e.g. "406 PRECONDITION_FAILED -
// inequivalent arg 'type' ..." or "403 ACCESS_REFUSED - Login was refused ..."; a publisher
// confirm's basic.nack becomes ReplyError too.
[[noreturn]] void throw_error(const amqp_rpc_reply_t& reply, std::string_view context);

// A library status code as a failed reply, for throw_error.
amqp_rpc_reply_t library_reply(int status);

}  // namespace mosswork::core::amqp
