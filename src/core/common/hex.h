// Bytes as lower-case hexadecimal: digests, tokens, identifiers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mosswork::core {

// Two lower-case hex digits a byte, in order.
std::string to_hex(const unsigned char* data, std::size_t size);
inline std::string to_hex(std::string_view bytes) {
  return to_hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Hex digests of a whole buffer (OpenSSL). Throw Error when the library fails.
std::string sha1_hex(std::string_view data);
std::string sha256_hex(std::string_view data);

}  // namespace mosswork::core
