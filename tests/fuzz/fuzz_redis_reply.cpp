// Redis replies from the wire: hiredis's reader, then our conversion of the reply tree.
#include <hiredis/hiredis.h>

#include <cstdlib>
#include <string_view>

#include "core/common/errors.h"
#include "core/redis/hiredis_compat.h"

namespace {

// hiredis 0.14 allocates an aggregate's elements as soon as it reads the declared count, with no
// ceiling (1.x has maxelements). A server declaring billions is a fault of the server, not of
// our conversion; such inputs are not run.
bool declares_huge_aggregate(std::string_view data) {
  for (std::size_t at = 0; at < data.size(); ++at) {
    if ((at == 0 || data[at - 1] == '\n') && (data[at] == '*' || data[at] == '$')) {
      long n = std::strtol(std::string(data.substr(at + 1, 12)).c_str(), nullptr, 10);
      if (n > (1L << 20)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view wire(reinterpret_cast<const char*>(data), size);
  if (declares_huge_aggregate(wire)) return -1;
  redisReader* reader = redisReaderCreate();
  redisReaderFeed(reader, wire.data(), wire.size());
  for (;;) {
    void* reply = nullptr;
    if (redisReaderGetReply(reader, &reply) != REDIS_OK || reply == nullptr) break;
    try {
      mosswork::core::redis::hiredis::convert(*static_cast<redisReply*>(reply));
    } catch (const mosswork::core::Error&) {
    }
    freeReplyObject(reply);
  }
  redisReaderFree(reader);
  return 0;
}
