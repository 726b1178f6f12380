// Redis replies from the wire: hiredis's reader, then our conversion of the reply tree.
#include <hiredis/hiredis.h>

#include "core/common/errors.h"
#include "core/redis/hiredis_compat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  redisReader* reader = redisReaderCreate();
  redisReaderFeed(reader, reinterpret_cast<const char*>(data), size);
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
