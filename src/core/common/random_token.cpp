// Kernel randomness as bytes and hex tokens.
#include "core/common/random_token.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

#include "core/common/errors.h"
#include "core/common/hex.h"

namespace mosswork::core {

void random_bytes(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t have = 0;
  while (have < size) {
    const ssize_t n = ::getrandom(bytes + have, size - have, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("getrandom");
    }
    have += static_cast<std::size_t>(n);
  }
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  random_bytes(buffer.data(), buffer.size());
  return to_hex(buffer.data(), buffer.size());
}

}  // namespace mosswork::core
