// MD5 digests in lower-case hex: of a whole file (streamed) and of data arriving in pieces.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace mosswork::core::files {

// Incremental MD5 over OpenSSL's EVP interface.
class Md5 {
 public:
  Md5();
  Md5(Md5&&) noexcept = default;
  Md5& operator=(Md5&&) noexcept = default;
  ~Md5();

  void update(const void* data, std::size_t size);
  void update(std::string_view data) { update(data.data(), data.size()); }
  // The digest of everything fed so far as 32 lower-case hex characters; the object is reset
  // and can start a new digest.
  std::string hexdigest();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

// MD5 of the file's bytes, read in large chunks with constant memory. Open and read failures
// throw IoError.
std::string calculate_file_md5(const std::string& path);

}  // namespace mosswork::core::files
