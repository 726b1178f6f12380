// Out-of-line parts of the core error hierarchy.
#include "core/common/errors.h"

#include <cerrno>
#include <cstring>

namespace mosswork::core {

IoError::IoError(int error_number, std::string what, std::string path)
    : Error(what + ": " + std::strerror(error_number) + (path.empty() ? "" : ": '" + path + "'")),
      errno_(error_number),
      path_(std::move(path)),
      context_(what + ": " + std::strerror(error_number)) {}

std::string IoError::reason() const { return std::strerror(errno_); }

HttpStatusError::HttpStatusError(long status, std::string body)
    : Error("HTTP status " + std::to_string(status) + ": " + body),
      status_(status),
      body_(std::move(body)) {}

S3Error::S3Error(std::string code, std::string message, std::string bucket_name,
                 std::string object_name)
    : Error("S3 operation failed; code: " + code + ", message: " + message +
            ", bucket_name: " + bucket_name + ", object_name: " + object_name),
      code_(std::move(code)),
      message_(std::move(message)),
      bucket_(std::move(bucket_name)),
      object_(std::move(object_name)) {}

void throw_errno(const std::string& what, const std::string& path) {
  throw IoError(errno, what, path);
}

}  // namespace mosswork::core
