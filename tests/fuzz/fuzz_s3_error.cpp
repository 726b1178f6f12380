// An object store's error answer: the XML document, and the error raised from status and body.
#include <string>

#include "core/common/errors.h"
#include "core/s3/s3_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string code, message, bucket, key;
  mosswork::core::s3::parse_error_document(body, code, message, bucket, key);
  long status = size ? 300 + data[0] : 404;
  try {
    mosswork::core::s3::raise_s3_error(size % 2 ? "GET" : "HEAD", status, {}, body, "b", "o");
  } catch (const mosswork::core::Error&) {
  }
  return 0;
}
