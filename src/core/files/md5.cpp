// Streaming MD5 over OpenSSL's EVP interface.
#include "core/files/md5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/common/errors.h"
#include "core/common/hex.h"
#include "core/common/unique_fd.h"

namespace mosswork::core::files {
namespace {

constexpr std::size_t kChunkSize = 1 << 20;

[[noreturn]] void throw_openssl(const char* what) {
  throw Error(std::string("MD5 digest failed: ") + what);
}

}  // namespace

void Md5::Free::operator()(evp_md_ctx_st* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

Md5::Md5() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_) throw_openssl("EVP_MD_CTX_new");
  if (EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) throw_openssl("EVP_DigestInit_ex");
}

Md5::~Md5() = default;

void Md5::update(const void* data, std::size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw_openssl("EVP_DigestUpdate");
}

std::string Md5::hexdigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1) throw_openssl("EVP_DigestFinal_ex");
  if (EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) throw_openssl("EVP_DigestInit_ex");
  return to_hex(digest, length);
}

std::string calculate_file_md5(const std::string& path) {
  const UniqueFd fd = open_fd(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd) throw_errno("cannot open", path);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Md5 md5;
  std::vector<unsigned char> buffer(kChunkSize);
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot read", path);
    }
    if (n == 0) break;
    md5.update(buffer.data(), static_cast<std::size_t>(n));
  }
  return md5.hexdigest();
}

}  // namespace mosswork::core::files
