// Object-store requests: URLs, signing headers, uploads in parts, response parsing.
#include "core/s3/s3_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <pugixml.hpp>

#include "core/common/errors.h"
#include "core/common/hex.h"
#include "core/http/url.h"
#include "core/s3/s3_error.h"

namespace mosswork::core::s3 {
namespace {

constexpr std::uint64_t kMinPartSize = 5ull << 20;
constexpr std::uint64_t kMaxPartSize = 5ull << 30;
constexpr std::uint64_t kMaxParts = 10000;
constexpr std::uint64_t kMaxObjectSize = 5ull << 40;
constexpr std::size_t kErrorBodyLimit = 1 << 20;
// SHA-256 of nothing: the payload hash of every bodiless request.
constexpr std::string_view kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// Streamed bodies are not read twice to hash them (minio-py does the same over TLS).
constexpr std::string_view kUnsignedPayload = "UNSIGNED-PAYLOAD";

std::string unquote(std::string_view etag) {
  std::string out;
  out.reserve(etag.size());
  for (char c : etag) {
    if (c != '"') out.push_back(c);
  }
  return out;
}

void check_names(const std::string& bucket, const std::string& name) {
  if (bucket.empty()) throw InvalidArgument("bucket name must not be empty");
  if (name.empty()) throw InvalidArgument("object name must not be empty");
}

void add_metadata(http::Request& request, const Metadata& metadata) {
  for (const auto& [key, value] : metadata) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    // Standard and x-amz headers pass as they are; anything else is user metadata.
    bool plain = lower.starts_with("x-amz-") || lower == "cache-control" ||
                 lower == "content-disposition" || lower == "content-encoding" ||
                 lower == "content-language" || lower == "expires" || lower == "content-type";
    request.headers.emplace_back(plain ? key : "x-amz-meta-" + key, value);
  }
}

void add_content_type(http::Request& request, const std::string& content_type,
                      const Metadata& metadata) {
  for (const auto& [key, value] : metadata) {
    if (http::iequals(key, "Content-Type")) return;
  }
  request.headers.emplace_back("Content-Type",
                               content_type.empty() ? "application/octet-stream" : content_type);
}

// The next `length` bytes of a source read front to back: one part, buffered so that a retry
// can send it again.
std::string read_exactly(http::BodySource& source, std::uint64_t length) {
  std::string part;
  part.resize(static_cast<std::size_t>(length));
  std::size_t got = 0;
  while (got < part.size()) {
    std::size_t n = source.read(part.data() + got, part.size() - got);
    if (n == 0) throw IoError(EIO, "upload data ended before its declared length");
    got += n;
  }
  return part;
}

// One multipart upload: begun, its parts sent by send_parts(upload_id), completed. On any
// failure the upload is aborted and the failure passed on.
template <class SendParts>
ObjectWriteResult upload_in_parts(S3Client& client, const std::string& bucket,
                                  const std::string& name, const std::string& content_type,
                                  const Metadata& metadata, SendParts send_parts) {
  std::string upload_id = client.create_multipart_upload(bucket, name, content_type, metadata);
  try {
    const std::vector<UploadedPart> done = send_parts(upload_id);
    return client.complete_multipart_upload(bucket, name, upload_id, done);
  } catch (...) {
    try {
      client.abort_multipart_upload(bucket, name, upload_id);
    } catch (const Error&) {
      // The original failure is the one worth reporting.
    }
    throw;
  }
}

}  // namespace

S3Client::S3Client(S3ClientOptions options, std::shared_ptr<http::HttpClient> http)
    : options_(std::move(options)), http_(std::move(http)) {
  if (!http_) throw InvalidArgument("S3 client needs an HTTP client");
  if (options_.endpoint.empty()) throw InvalidArgument("S3 endpoint must not be empty");
  if (options_.endpoint.find('/') != std::string::npos) {
    throw InvalidArgument("S3 endpoint must be host:port without a scheme or path: " +
                          options_.endpoint);
  }
  if (options_.part_size != 0 &&
      (options_.part_size < kMinPartSize || options_.part_size > kMaxPartSize)) {
    throw InvalidArgument("part size must be between 5 MiB and 5 GiB");
  }
  base_url_ = (options_.secure ? "https://" : "http://") + options_.endpoint;
}

std::string S3Client::object_url(
    const std::string& bucket, const std::string& name,
    const std::vector<std::pair<std::string, std::string>>& query) const {
  std::string url = base_url_;
  url += '/';
  url += http::percent_encode(bucket);
  if (!name.empty()) {
    url += '/';
    url += http::percent_encode(name, "/");
  }
  if (!query.empty()) {
    // Sorted and fully encoded: the form the signature's canonical query string takes.
    std::vector<std::pair<std::string, std::string>> sorted;
    for (const auto& [k, v] : query)
      sorted.emplace_back(http::percent_encode(k), http::percent_encode(v));
    std::sort(sorted.begin(), sorted.end());
    char sep = '?';
    for (const auto& [k, v] : sorted) {
      url += sep;
      url += k;
      url += '=';
      url += v;
      sep = '&';
    }
  }
  return url;
}

http::Request S3Client::make_request(std::string method, std::string url) const {
  http::Request request;
  request.method = std::move(method);
  request.url = std::move(url);
  request.verify_tls = options_.verify_tls;
  if (!options_.access_key.empty()) {
    request.sigv4 = http::AwsSigV4{"aws:amz:" + options_.region + ":s3", options_.access_key,
                                   options_.secret_key};
  }
  return request;
}

std::pair<std::uint64_t, std::uint64_t> S3Client::part_info(std::uint64_t object_size) const {
  if (object_size > kMaxObjectSize) throw InvalidArgument("object size exceeds 5 TiB");
  std::uint64_t part_size = options_.part_size;
  if (part_size == 0) {
    std::uint64_t per_part = (object_size + kMaxParts - 1) / kMaxParts;
    part_size =
        std::max<std::uint64_t>(1, (per_part + kMinPartSize - 1) / kMinPartSize) * kMinPartSize;
  }
  if (part_size > object_size) part_size = object_size;
  std::uint64_t count = part_size ? (object_size + part_size - 1) / part_size : 1;
  if (count > kMaxParts) throw InvalidArgument("object needs more than 10000 parts");
  return {part_size, std::max<std::uint64_t>(count, 1)};
}

ObjectStat S3Client::stat_object(const std::string& bucket, const std::string& name) {
  check_names(bucket, name);
  http::Request request = make_request("HEAD", object_url(bucket, name));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("HEAD", response.status, response.headers, response.body, bucket, name);
  }
  ObjectStat stat;
  stat.bucket_name = bucket;
  stat.object_name = name;
  if (auto length = response.headers.get("Content-Length")) {
    std::from_chars(length->data(), length->data() + length->size(), stat.size);
  }
  stat.etag = unquote(response.headers.get("ETag").value_or(""));
  if (auto modified = response.headers.get("Last-Modified")) {
    std::string text(*modified);
    time_t when = curl_getdate(text.c_str(), nullptr);
    // A date the clock cannot hold (it ends in 2262) is left out, like one that does not parse.
    constexpr auto kLatest = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::time_point::max().time_since_epoch());
    if (when >= 0 && when <= kLatest.count()) {
      stat.last_modified = std::chrono::system_clock::from_time_t(when);
    }
  }
  stat.content_type = std::string(response.headers.get("Content-Type").value_or(""));
  if (auto version = response.headers.get("x-amz-version-id"))
    stat.version_id = std::string(*version);
  for (const auto& [key, value] : response.headers.items()) {
    constexpr std::string_view kPrefix = "x-amz-meta-";
    if (key.size() > kPrefix.size() &&
        http::iequals(std::string_view(key).substr(0, kPrefix.size()), kPrefix)) {
      std::string short_name = key.substr(kPrefix.size());
      std::transform(short_name.begin(), short_name.end(), short_name.begin(), ::tolower);
      stat.user_metadata.emplace_back(std::move(short_name), value);
    }
  }
  stat.metadata = std::move(response.headers);
  return stat;
}

http::StreamingResponse S3Client::get_object(const std::string& bucket, const std::string& name,
                                             std::uint64_t offset, std::uint64_t length) {
  check_names(bucket, name);
  http::Request request = make_request("GET", object_url(bucket, name));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  if (offset > 0 || length > 0) {
    std::string range = "bytes=" + std::to_string(offset) + "-";
    if (length > 0) range += std::to_string(offset + length - 1);
    request.headers.emplace_back("Range", std::move(range));
  }
  http::StreamingResponse stream = http_->open(request);
  if (stream.status() != 200 && stream.status() != 206) {
    std::string body;
    try {
      body = stream.read_all(kErrorBodyLimit);
    } catch (const ProtocolError&) {
      // An error body that large is not an error document.
    }
    raise_s3_error("GET", stream.status(), stream.headers(), body, bucket, name);
  }
  return stream;
}

ObjectWriteResult S3Client::send_single_put(http::Request& request, const std::string& bucket,
                                            const std::string& name,
                                            const std::string& content_type,
                                            const Metadata& metadata) {
  add_content_type(request, content_type, metadata);
  add_metadata(request, metadata);
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("PUT", response.status, response.headers, response.body, bucket, name);
  }
  ObjectWriteResult result{bucket, name, unquote(response.headers.get("ETag").value_or("")), {}};
  if (auto version = response.headers.get("x-amz-version-id"))
    result.version_id = std::string(*version);
  return result;
}

ObjectWriteResult S3Client::put_object(const std::string& bucket, const std::string& name,
                                       http::BodySource& data, std::uint64_t length,
                                       const std::string& content_type, const Metadata& metadata) {
  check_names(bucket, name);
  if (data.size() != length) {
    throw InvalidArgument("upload data holds " + std::to_string(data.size()) +
                          " bytes, not the declared " + std::to_string(length));
  }
  auto [part_size, parts] = part_info(length);
  if (parts > 1)
    return put_multipart(bucket, name, data, length, part_size, content_type, metadata);

  http::Request request = make_request("PUT", object_url(bucket, name));
  request.body_source = &data;
  request.headers.emplace_back("x-amz-content-sha256", std::string(kUnsignedPayload));
  return send_single_put(request, bucket, name, content_type, metadata);
}

ObjectWriteResult S3Client::put_object(const std::string& bucket, const std::string& name,
                                       std::string_view data, const std::string& content_type,
                                       const Metadata& metadata) {
  check_names(bucket, name);
  // Plain variables, not a structured binding: the lambda below captures them.
  const auto info = part_info(data.size());
  const std::uint64_t part_size = info.first, parts = info.second;
  if (parts > 1) {
    return upload_in_parts(*this, bucket, name, content_type, metadata, [&](const std::string& id) {
      std::vector<UploadedPart> done;
      for (std::uint64_t i = 0; i < parts; ++i) {
        std::string_view piece = data.substr(static_cast<std::size_t>(i * part_size),
                                             static_cast<std::size_t>(part_size));
        int number = static_cast<int>(i + 1);
        done.push_back({number, upload_part(bucket, name, id, number, piece)});
      }
      return done;
    });
  }
  http::Request request = make_request("PUT", object_url(bucket, name));
  request.body = data;
  request.headers.emplace_back("x-amz-content-sha256", sha256_hex(data));
  return send_single_put(request, bucket, name, content_type, metadata);
}

ObjectWriteResult S3Client::fput_object(const std::string& bucket, const std::string& name,
                                        const std::filesystem::path& file_path,
                                        const std::string& content_type, const Metadata& metadata) {
  http::FileBodySource file = http::FileBodySource::open(file_path);
  return put_object(bucket, name, file, file.size(), content_type, metadata);
}

ObjectWriteResult S3Client::put_multipart(const std::string& bucket, const std::string& name,
                                          http::BodySource& data, std::uint64_t length,
                                          std::uint64_t part_size, const std::string& content_type,
                                          const Metadata& metadata) {
  auto* file = dynamic_cast<http::FileBodySource*>(&data);
  return upload_in_parts(*this, bucket, name, content_type, metadata, [&](const std::string& id) {
    std::vector<UploadedPart> done;
    if (!file && !data.rewind()) throw InvalidArgument("upload data cannot be read from its start");
    for (std::uint64_t offset = 0, number = 1; offset < length; offset += part_size, ++number) {
      std::uint64_t size = std::min(part_size, length - offset);
      std::string etag;
      if (file) {
        // Parts of a file are read in place, each from its own offset.
        http::FileBodySource range(file->fd(), offset, size);
        etag = upload_part(bucket, name, id, static_cast<int>(number), range);
      } else {
        std::string part = read_exactly(data, size);
        etag = upload_part(bucket, name, id, static_cast<int>(number), part);
      }
      done.push_back({static_cast<int>(number), std::move(etag)});
    }
    return done;
  });
}

void S3Client::remove_object(const std::string& bucket, const std::string& name) {
  check_names(bucket, name);
  http::Request request = make_request("DELETE", object_url(bucket, name));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  http::Response response = http_->send(request);
  if (response.status != 204 && response.status != 200) {
    raise_s3_error("DELETE", response.status, response.headers, response.body, bucket, name);
  }
}

void S3Client::make_bucket(const std::string& bucket) {
  if (bucket.empty()) throw InvalidArgument("bucket name must not be empty");
  http::Request request = make_request("PUT", object_url(bucket, ""));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("PUT", response.status, response.headers, response.body, bucket, "");
  }
}

bool S3Client::bucket_exists(const std::string& bucket) {
  if (bucket.empty()) throw InvalidArgument("bucket name must not be empty");
  http::Request request = make_request("HEAD", object_url(bucket, ""));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  http::Response response = http_->send(request);
  if (response.status == 200) return true;
  try {
    raise_s3_error("HEAD", response.status, response.headers, response.body, bucket, "");
  } catch (const S3Error& e) {
    if (e.code() == "NoSuchBucket") return false;
    throw;
  }
}

std::string S3Client::create_multipart_upload(const std::string& bucket, const std::string& name,
                                              const std::string& content_type,
                                              const Metadata& metadata) {
  check_names(bucket, name);
  http::Request request = make_request("POST", object_url(bucket, name, {{"uploads", ""}}));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  add_content_type(request, content_type, metadata);
  add_metadata(request, metadata);
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("POST", response.status, response.headers, response.body, bucket, name);
  }
  pugi::xml_document doc;
  if (!doc.load_buffer(response.body.data(), response.body.size())) {
    throw ParseError("cannot parse the multipart upload answer: " + response.body);
  }
  std::string upload_id = doc.child("InitiateMultipartUploadResult").child_value("UploadId");
  if (upload_id.empty())
    throw ParseError("multipart upload answer without UploadId: " + response.body);
  return upload_id;
}

std::string S3Client::upload_part(const std::string& bucket, const std::string& name,
                                  const std::string& upload_id, int part_number,
                                  http::BodySource& data) {
  check_names(bucket, name);
  http::Request request = make_request(
      "PUT", object_url(bucket, name,
                        {{"partNumber", std::to_string(part_number)}, {"uploadId", upload_id}}));
  request.body_source = &data;
  request.headers.emplace_back("x-amz-content-sha256", std::string(kUnsignedPayload));
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("PUT", response.status, response.headers, response.body, bucket, name);
  }
  return unquote(response.headers.get("ETag").value_or(""));
}

std::string S3Client::upload_part(const std::string& bucket, const std::string& name,
                                  const std::string& upload_id, int part_number,
                                  std::string_view data) {
  check_names(bucket, name);
  http::Request request = make_request(
      "PUT", object_url(bucket, name,
                        {{"partNumber", std::to_string(part_number)}, {"uploadId", upload_id}}));
  request.body = data;
  request.headers.emplace_back("x-amz-content-sha256", sha256_hex(data));
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("PUT", response.status, response.headers, response.body, bucket, name);
  }
  return unquote(response.headers.get("ETag").value_or(""));
}

ObjectWriteResult S3Client::complete_multipart_upload(const std::string& bucket,
                                                      const std::string& name,
                                                      const std::string& upload_id,
                                                      const std::vector<UploadedPart>& parts) {
  check_names(bucket, name);
  std::string body = "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  for (const UploadedPart& part : parts) {
    body += "<Part><PartNumber>" + std::to_string(part.part_number) + "</PartNumber><ETag>\"" +
            part.etag + "\"</ETag></Part>";
  }
  body += "</CompleteMultipartUpload>";
  http::Request request = make_request("POST", object_url(bucket, name, {{"uploadId", upload_id}}));
  request.body = body;
  request.headers.emplace_back("x-amz-content-sha256", sha256_hex(body));
  request.headers.emplace_back("Content-Type", "application/xml");
  http::Response response = http_->send(request);
  if (response.status != 200) {
    raise_s3_error("POST", response.status, response.headers, response.body, bucket, name);
  }
  // A 200 answer can still carry an error document (the store failed while completing).
  std::string code, message, doc_bucket, doc_key;
  if (parse_error_document(response.body, code, message, doc_bucket, doc_key)) {
    throw S3Error(code, message, doc_bucket, doc_key);
  }
  pugi::xml_document doc;
  if (!doc.load_buffer(response.body.data(), response.body.size())) {
    throw ParseError("cannot parse the multipart completion answer: " + response.body);
  }
  ObjectWriteResult result{
      bucket, name, unquote(doc.child("CompleteMultipartUploadResult").child_value("ETag")), {}};
  if (auto version = response.headers.get("x-amz-version-id"))
    result.version_id = std::string(*version);
  return result;
}

void S3Client::abort_multipart_upload(const std::string& bucket, const std::string& name,
                                      const std::string& upload_id) {
  check_names(bucket, name);
  http::Request request =
      make_request("DELETE", object_url(bucket, name, {{"uploadId", upload_id}}));
  request.headers.emplace_back("x-amz-content-sha256", std::string(kEmptySha256));
  http::Response response = http_->send(request);
  if (response.status != 204 && response.status != 200) {
    raise_s3_error("DELETE", response.status, response.headers, response.body, bucket, name);
  }
}

}  // namespace mosswork::core::s3
