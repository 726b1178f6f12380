// The one place that knows hiredis: context ownership, error mapping and reply conversion,
// written against what hiredis 0.14 (Debian 12) and 1.x (Debian 13) both offer.
#pragma once

#include <hiredis/hiredis.h>

#include <string_view>

#include "core/redis/reply.h"

namespace mosswork::core::redis::hiredis {

// What the failed call was doing; it picks the error text.
enum class Phase { kConnect, kCommand };

// Turns the error state of a context into the core error it stands for: time-outs become
// Timeout, refused/reset/EOF become ConnectionClosed, garbage becomes ProtocolError.
// saved_errno is errno right after the failing hiredis call.
[[noreturn]] void throw_context_error(const redisContext& context, int saved_errno, Phase phase,
                                      std::string_view host, int port);

// Copies a reply tree into a Reply. Reply kinds RESP2 cannot carry throw ProtocolError.
Reply convert(const redisReply& reply);

}  // namespace mosswork::core::redis::hiredis
