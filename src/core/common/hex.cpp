// Lower-case hex and one-shot digests.
#include "core/common/hex.h"

#include <openssl/evp.h>

#include "core/common/errors.h"

namespace mosswork::core {
namespace {

std::string digest_hex(const EVP_MD* md, const char* name, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1) {
    throw Error(std::string(name) + " digest failed");
  }
  return to_hex(digest, length);
}

}  // namespace

std::string to_hex(const unsigned char* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.resize(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHex[data[i] >> 4];
    out[2 * i + 1] = kHex[data[i] & 0x0F];
  }
  return out;
}

std::string sha1_hex(std::string_view data) { return digest_hex(EVP_sha1(), "SHA-1", data); }

std::string sha256_hex(std::string_view data) { return digest_hex(EVP_sha256(), "SHA-256", data); }

}  // namespace mosswork::core
