// Turns an object store's error response into the core error minio-py would raise for it.
#pragma once

#include <string>
#include <string_view>

#include "core/http/headers.h"

namespace mosswork::core::s3 {

// Throws S3Error parsed from the XML error document, or (no document, as for HEAD) with the code
// minio-py derives from the status; HttpStatusError when the body is not an error document or
// the status has no code.
[[noreturn]] void raise_s3_error(std::string_view method, long status, const http::Headers& headers,
                                 const std::string& body, const std::string& bucket,
                                 const std::string& object);

// Parses "<Error><Code>..." documents; false when the text is not one.
bool parse_error_document(const std::string& body, std::string& code, std::string& message,
                          std::string& bucket, std::string& key);

}  // namespace mosswork::core::s3
