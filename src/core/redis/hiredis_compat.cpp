// hiredis error mapping and reply conversion, valid for hiredis 0.14 and 1.x.
#include "core/redis/hiredis_compat.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "core/common/errors.h"

namespace mosswork::core::redis::hiredis {
namespace {

// With SO_RCVTIMEO/SO_SNDTIMEO a blocking read or write that runs out of time fails with
// EAGAIN. Both versions report that as REDIS_ERR_IO; 1.x may also say REDIS_ERR_TIMEOUT.
bool is_timeout(const redisContext& context, int saved_errno) {
#ifdef REDIS_ERR_TIMEOUT
  if (context.err == REDIS_ERR_TIMEOUT) return true;
#endif
  if (context.err != REDIS_ERR_IO) return false;
  if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK || saved_errno == ETIMEDOUT ||
      saved_errno == EINPROGRESS) {
    return true;
  }
  // errno may have been overwritten by clean-up inside hiredis; its text was kept.
  const std::string_view text = context.errstr;
  return text == std::strerror(EAGAIN) || text == std::strerror(ETIMEDOUT);
}

}  // namespace

void throw_context_error(const redisContext& context, int saved_errno, Phase phase,
                         std::string_view host, int port) {
  const std::string where = std::string(host) + ":" + std::to_string(port);
  const std::string detail = context.errstr;
  if (context.err == REDIS_ERR_OOM) throw std::bad_alloc();
  if (is_timeout(context, saved_errno)) {
    throw Timeout(phase == Phase::kConnect ? "Timeout connecting to server"
                                           : "Timeout reading from socket");
  }
  if (context.err == REDIS_ERR_PROTOCOL) throw ProtocolError("Protocol error: " + detail);
  if (phase == Phase::kConnect) {
    const int code = context.err == REDIS_ERR_IO ? saved_errno : 0;
    throw ConnectionClosed("Error " + std::to_string(code) + " connecting to " + where + ". " +
                           detail + ".");
  }
  if (context.err == REDIS_ERR_EOF) throw ConnectionClosed("Connection closed by server.");
  if (context.err == REDIS_ERR_IO) {
    throw ConnectionClosed("Error " + std::to_string(saved_errno) + " while talking to " + where +
                           ": " + detail);
  }
  throw ConnectionClosed("Error while talking to " + where + ": " + detail);
}

Reply convert(const redisReply& reply) {
  switch (reply.type) {
    case REDIS_REPLY_STRING:
      return Reply::bulk(std::string(reply.str, reply.len));
    case REDIS_REPLY_STATUS:
      return Reply::status(std::string(reply.str, reply.len));
    case REDIS_REPLY_ERROR:
      return Reply::error(std::string(reply.str, reply.len));
    case REDIS_REPLY_INTEGER:
      return Reply::integer(reply.integer);
    case REDIS_REPLY_NIL:
      return Reply();
    case REDIS_REPLY_ARRAY: {
      std::vector<Reply> elements;
      elements.reserve(reply.elements);
      for (std::size_t i = 0; i < reply.elements; ++i) {
        elements.push_back(convert(*reply.element[i]));
      }
      return Reply::array(std::move(elements));
    }
    default:
      // RESP3 kinds (double, map, set ...): never sent on a RESP2 connection.
      throw ProtocolError("Protocol error: unexpected reply type " + std::to_string(reply.type));
  }
}

}  // namespace mosswork::core::redis::hiredis
