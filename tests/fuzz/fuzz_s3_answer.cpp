// The object store's answers as the core's S3 client reads them, served raw (the fuzz input) by a
// loopback server to each call in turn: stat_object (headers: size, ETag, Last-Modified, user
// metadata), get_object (a streamed body), bucket_exists, create_multipart_upload and
// complete_multipart_upload (XML answers, an error document inside a 200 too), put_object and
// remove_object. What must hold: a call fails only with core errors; the answers of a HEAD
// without a body become the error minio-py derives from the status; ETags lose their quotes; a
// streamed object is the body the transport reads.
#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/errors.h"
#include "core/http/http_client.h"
#include "core/s3/s3_client.h"
#include "fuzz_loopback.h"
#include "fuzz_support.h"

namespace core = mosswork::core;
namespace http = mosswork::core::http;
namespace s3 = mosswork::core::s3;
using mosswork::fuzz::require;

namespace {

// What a call raised: nothing, an S3Error (its code), another core error (its type).
struct Raised {
  bool ok = false;
  std::string type;
  std::string code;            // S3Error
  std::optional<long> status;  // HttpStatusError
};

template <typename Call>
Raised raised_by(Call&& call) {
  Raised r;
  try {
    call();
    r.ok = true;
  } catch (const core::S3Error& e) {
    r.type = typeid(e).name();
    r.code = e.code();
  } catch (const core::HttpStatusError& e) {
    r.type = typeid(e).name();
    r.status = e.status();
  } catch (const core::Error& e) {
    r.type = typeid(e).name();
  } catch (const std::exception& e) {
    require(false, "failures are core errors", std::string(typeid(e).name()) + ": " + e.what());
  }
  return r;
}

// minio-py's code for a HEAD answer without a document, "" where it raises a plain status error.
std::string head_code(long status, bool has_object) {
  switch (status) {
    case 301:
      return "PermanentRedirect";
    case 307:
      return "Redirect";
    case 400:
      return "BadRequest";
    case 403:
      return "AccessDenied";
    case 404:
      return has_object ? "NoSuchKey" : "NoSuchBucket";
    case 405:
    case 501:
      return "MethodNotAllowed";
    case 409:
      return "NoSuchBucket";
    default:
      return "";
  }
}

struct Plain {
  std::string error;  // typeid name of the transport's error; empty when it read an answer
  http::Response response;
};

Plain plain_reading(http::HttpClient& transport, const std::string& method,
                    const std::string& url) {
  Plain p;
  try {
    http::Request request;
    request.method = method;
    request.url = url;
    p.response = transport.send(request);
  } catch (const core::Error& e) {
    p.error = typeid(e).name();
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& server =
      mosswork::fuzz::answer_with(std::string_view(reinterpret_cast<const char*>(data), size));

  http::HttpClientOptions transport_options;
  transport_options.retry = http::RetryPolicy::none();
  transport_options.connect_timeout = std::chrono::milliseconds(5000);
  transport_options.read_timeout = std::chrono::milliseconds(5000);
  auto transport = std::make_shared<http::HttpClient>(transport_options);
  s3::S3ClientOptions options;
  options.endpoint = server.endpoint();
  s3::S3Client client(options, transport);
  const std::string object_url = client.object_url("bucket", "dir/object.pdf");

  // HEAD: the headers, or the error the status stands for.
  const Plain head = plain_reading(*transport, "HEAD", object_url);
  s3::ObjectStat stat;
  const Raised stat_raised =
      raised_by([&] { stat = client.stat_object("bucket", "dir/object.pdf"); });
  if (!head.error.empty()) {
    require(stat_raised.type == head.error, "stat_object fails as the transport fails");
  } else if (head.response.status == 200) {
    require(stat_raised.ok, "a 200 HEAD answer is the object's metadata");
    require(stat.etag.find('"') == std::string::npos, "an ETag loses its quotes", stat.etag);
    require(stat.metadata.items() == head.response.headers.items(), "metadata is every header");
    for (const auto& [name, value] : stat.user_metadata) {
      require(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }),
              "user metadata names are lower case", name);
    }
  } else {
    const std::string code = head_code(head.response.status, true);
    require(code.empty() ? stat_raised.status == head.response.status : stat_raised.code == code,
            "a HEAD error is the status's S3 code, else a status error",
            std::to_string(head.response.status));
  }
  const Raised exists = raised_by([&] { client.bucket_exists("bucket"); });
  if (head.error.empty() && head.response.status == 404) {
    require(exists.ok, "404 on a bucket is a missing bucket, not an error");
  }

  // GET: the streamed object is the body the transport reads.
  const Plain get = plain_reading(*transport, "GET", object_url);
  std::string object;
  const Raised get_raised = raised_by([&] {
    http::StreamingResponse stream = client.get_object("bucket", "dir/object.pdf");
    object = stream.read_all();
  });
  if (get_raised.ok) {
    require(get.error.empty() && object == get.response.body, "a streamed object is the body");
  }

  // The XML answers and the rest: core errors only, ETags without quotes.
  raised_by([&] {
    std::string id = client.create_multipart_upload("bucket", "dir/object.pdf");
    require(!id.empty(), "an upload id is never empty");
  });
  raised_by([&] {
    s3::ObjectWriteResult r =
        client.complete_multipart_upload("bucket", "dir/object.pdf", "upload-1", {{1, "abc"}});
    require(r.etag.find('"') == std::string::npos, "an ETag loses its quotes", r.etag);
  });
  raised_by([&] {
    s3::ObjectWriteResult r = client.put_object("bucket", "dir/object.pdf", "%PDF-1.4 small");
    require(r.etag.find('"') == std::string::npos, "an ETag loses its quotes", r.etag);
  });
  raised_by([&] { client.remove_object("bucket", "dir/object.pdf"); });
  return 0;
}
