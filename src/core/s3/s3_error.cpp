// Error responses of the object store, read the way minio-py reads them.
#include "core/s3/s3_error.h"

#include <pugixml.hpp>

#include "core/common/errors.h"

namespace mosswork::core::s3 {
namespace {

// minio-py accepts an error document only under this content type (any parameter after ";").
bool is_xml_content(const http::Headers& headers) {
  auto type = headers.get("Content-Type");
  if (!type) return false;
  std::string_view rest = *type;
  while (!rest.empty()) {
    std::size_t semi = rest.find(';');
    std::string_view item = rest.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (http::iequals(item, "application/xml")) return true;
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  return false;
}

}  // namespace

bool parse_error_document(const std::string& body, std::string& code, std::string& message,
                          std::string& bucket, std::string& key) {
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size())) return false;
  pugi::xml_node error = doc.child("Error");
  if (!error) return false;
  code = error.child_value("Code");
  message = error.child_value("Message");
  bucket = error.child_value("BucketName");
  key = error.child_value("Key");
  return true;
}

void raise_s3_error(std::string_view method, long status, const http::Headers& headers,
                    const std::string& body, const std::string& bucket, const std::string& object) {
  const bool head = method == "HEAD";
  if (!head && (!is_xml_content(headers) || body.empty())) throw HttpStatusError(status, body);
  if (!body.empty()) {
    std::string code, message, doc_bucket, doc_key;
    if (!parse_error_document(body, code, message, doc_bucket, doc_key)) {
      throw HttpStatusError(status, body);
    }
    // A store may leave the names out of its document (moto's NoSuchKey has no BucketName);
    // the request's names stand in, as for the answers without a document.
    throw S3Error(code, message, doc_bucket.empty() ? bucket : doc_bucket,
                  doc_key.empty() ? object : doc_key);
  }
  std::string code, message;
  switch (status) {
    case 301:
      code = "PermanentRedirect";
      message = "Moved Permanently";
      break;
    case 307:
      code = "Redirect";
      message = "Temporary redirect";
      break;
    case 400:
      code = "BadRequest";
      message = "Bad request";
      break;
    case 403:
      code = "AccessDenied";
      message = "Access denied";
      break;
    case 404:
      if (!object.empty()) {
        code = "NoSuchKey";
        message = "Object does not exist";
      } else if (!bucket.empty()) {
        code = "NoSuchBucket";
        message = "Bucket does not exist";
      } else {
        code = "ResourceNotFound";
        message = "Request resource not found";
      }
      break;
    case 405:
    case 501:
      code = "MethodNotAllowed";
      message = "The specified method is not allowed against this resource";
      break;
    case 409:
      if (!bucket.empty()) {
        code = "NoSuchBucket";
        message = "Bucket does not exist";
      } else {
        code = "ResourceConflict";
        message = "Request resource conflicts";
      }
      break;
    default:
      throw HttpStatusError(status, body);
  }
  throw S3Error(code, message, bucket, object);
}

}  // namespace mosswork::core::s3
