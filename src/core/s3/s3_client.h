// The object-store client: what minio-py's Minio client offers the package (object metadata,
// streamed downloads, uploads single and multipart, buckets), over the shared HTTP transport,
// with requests signed by libcurl (AWS signature version 4, path-style addressing).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/body_source.h"
#include "core/http/headers.h"
#include "core/http/http_client.h"

namespace mosswork::core::s3 {

struct S3ClientOptions {
  std::string endpoint;              // "host:port" of the store
  std::string access_key;            // key id; empty = anonymous (unsigned) requests
  std::string secret_key;            // secret of the key
  bool secure = false;               // https instead of http
  bool verify_tls = true;            // check the certificate when secure
  std::string region = "us-east-1";  // signing region
  std::uint64_t part_size = 0;       // multipart part size; 0 = 5 MiB steps as minio-py picks
};

// What stat_object reports.
struct ObjectStat {
  std::string bucket_name;
  std::string object_name;
  std::uint64_t size = 0;                                              // Content-Length
  std::string etag;                                                    // without its double quotes
  std::optional<std::chrono::system_clock::time_point> last_modified;  // Last-Modified
  std::string content_type;                                            // Content-Type
  std::optional<std::string> version_id;                               // x-amz-version-id
  http::Headers metadata;                                              // every response header
  // x-amz-meta-* headers, with the prefix removed and the name in lower case.
  std::vector<std::pair<std::string, std::string>> user_metadata;
};

struct ObjectWriteResult {
  std::string bucket_name;
  std::string object_name;
  std::string etag;  // without double quotes; "<md5>-<parts>" for multipart
  std::optional<std::string> version_id;
};

struct UploadedPart {
  int part_number = 0;
  std::string etag;
};

using Metadata = std::vector<std::pair<std::string, std::string>>;

// Errors: the store's error document becomes S3Error(code, message, bucket, key) as the
// document names them; bodiless errors (HEAD) get their code from the status as minio-py does
// (404 NoSuchKey or NoSuchBucket, 403 AccessDenied, ...); other failures are HttpStatusError
// or the transport's errors. Thread-safe as the HttpClient is.
class S3Client {
 public:
  S3Client(S3ClientOptions options, std::shared_ptr<http::HttpClient> http);

  ObjectStat stat_object(const std::string& bucket, const std::string& name);
  // The object's bytes as a stream (read, read_into, next_chunk, close, release_conn). `length`
  // 0 means to the end.
  http::StreamingResponse get_object(const std::string& bucket, const std::string& name,
                                     std::uint64_t offset = 0, std::uint64_t length = 0);

  // Uploads `length` bytes of data (which must have exactly that size); above the part size in
  // parts. A FileBodySource is read in place, other sources one part at a time into memory.
  ObjectWriteResult put_object(const std::string& bucket, const std::string& name,
                               http::BodySource& data, std::uint64_t length,
                               const std::string& content_type = "application/octet-stream",
                               const Metadata& metadata = {});
  ObjectWriteResult put_object(const std::string& bucket, const std::string& name,
                               std::string_view data,
                               const std::string& content_type = "application/octet-stream",
                               const Metadata& metadata = {});
  // Uploads a file, streamed from disk; multipart above the part size.
  ObjectWriteResult fput_object(const std::string& bucket, const std::string& name,
                                const std::filesystem::path& file_path,
                                const std::string& content_type = "application/octet-stream",
                                const Metadata& metadata = {});
  void remove_object(const std::string& bucket, const std::string& name);

  void make_bucket(const std::string& bucket);
  bool bucket_exists(const std::string& bucket);

  std::string create_multipart_upload(const std::string& bucket, const std::string& name,
                                      const std::string& content_type = "application/octet-stream",
                                      const Metadata& metadata = {});
  // Returns the part's etag (without quotes).
  std::string upload_part(const std::string& bucket, const std::string& name,
                          const std::string& upload_id, int part_number, http::BodySource& data);
  std::string upload_part(const std::string& bucket, const std::string& name,
                          const std::string& upload_id, int part_number, std::string_view data);
  ObjectWriteResult complete_multipart_upload(const std::string& bucket, const std::string& name,
                                              const std::string& upload_id,
                                              const std::vector<UploadedPart>& parts);
  void abort_multipart_upload(const std::string& bucket, const std::string& name,
                              const std::string& upload_id);

  // The part size used for an object of this size, and the number of parts (minio-py's rule).
  std::pair<std::uint64_t, std::uint64_t> part_info(std::uint64_t object_size) const;
  // "http://endpoint/bucket/key?query" with the key encoded per segment.
  std::string object_url(const std::string& bucket, const std::string& name,
                         const std::vector<std::pair<std::string, std::string>>& query = {}) const;
  const S3ClientOptions& options() const noexcept { return options_; }

 private:
  http::Request make_request(std::string method, std::string url) const;
  // Sends a one-request PUT whose body and payload hash are set, and reads the result.
  ObjectWriteResult send_single_put(http::Request& request, const std::string& bucket,
                                    const std::string& name, const std::string& content_type,
                                    const Metadata& metadata);
  ObjectWriteResult put_multipart(const std::string& bucket, const std::string& name,
                                  http::BodySource& data, std::uint64_t length,
                                  std::uint64_t part_size, const std::string& content_type,
                                  const Metadata& metadata);

  S3ClientOptions options_;
  std::shared_ptr<http::HttpClient> http_;
  std::string base_url_;
};

}  // namespace mosswork::core::s3
