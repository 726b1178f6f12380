// The object-store client against moto (signatures checked): metadata, streamed downloads,
// single and multipart uploads, error documents and odd keys.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "core/common/errors.h"
#include "core/s3/s3_client.h"
#include "support/moto_s3.h"
#include "support/test_http_server.h"

using namespace mosswork::core;
using namespace mosswork::core::s3;
using mosswork::testing::MotoS3;
using mosswork::testing::TestHttpServer;
using mosswork::testing::TestReply;
using mosswork::testing::TestRequest;

namespace {

class Md5 {
 public:
  Md5() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr); }
  ~Md5() { EVP_MD_CTX_free(ctx_); }
  void update(std::string_view data) { EVP_DigestUpdate(ctx_, data.data(), data.size()); }
  std::string hex() {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, d, &n);
    static const char* k = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
      out.push_back(k[d[i] >> 4]);
      out.push_back(k[d[i] & 15]);
    }
    return out;
  }

 private:
  EVP_MD_CTX* ctx_;
};

std::string md5_of(std::string_view data) {
  Md5 m;
  m.update(data);
  return m.hex();
}

// Deterministic bytes of any length, produced on the fly (no copy of the whole body anywhere).
class PatternSource final : public http::BodySource {
 public:
  explicit PatternSource(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::size_t read(char* dst, std::size_t n) override {
    std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - pos_));
    for (std::size_t i = 0; i < k; ++i) dst[i] = byte_at(pos_ + i);
    pos_ += k;
    return k;
  }
  bool rewind() override {
    pos_ = 0;
    return true;
  }
  static char byte_at(std::uint64_t i) {
    std::uint64_t x = (i / 8 + 1) * 0x9E3779B97F4A7C15ull;
    return static_cast<char>(x >> (8 * (i % 8)));
  }

 private:
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
};

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class S3ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    moto_ = std::make_unique<MotoS3>();
    client_ = make_client(moto_->secret_key());
    client_->make_bucket("docs");
  }

  std::unique_ptr<S3Client> make_client(const std::string& secret, std::uint64_t part_size = 0,
                                        std::string access = {}) {
    S3ClientOptions o;
    o.endpoint = moto_->endpoint();
    o.access_key = access.empty() ? moto_->access_key() : access;
    o.secret_key = secret;
    o.part_size = part_size;
    return std::make_unique<S3Client>(o, moto_->http());
  }

  std::filesystem::path temp_file(const std::string& name, std::uint64_t size) {
    auto path = std::filesystem::temp_directory_path() /
                ("mosswork-s3-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream out(path, std::ios::binary);
    PatternSource source(size);
    std::string buf(1 << 16, '\0');
    for (std::size_t n; (n = source.read(buf.data(), buf.size())) > 0;)
      out.write(buf.data(), static_cast<std::streamsize>(n));
    files_.push_back(path);
    return path;
  }

  void TearDown() override {
    for (auto& f : files_) std::filesystem::remove(f);
  }

  std::unique_ptr<MotoS3> moto_;
  std::unique_ptr<S3Client> client_;
  std::vector<std::filesystem::path> files_;
};

std::string pattern_md5(std::uint64_t size) {
  PatternSource source(size);
  Md5 m;
  std::string buf(1 << 16, '\0');
  for (std::size_t n; (n = source.read(buf.data(), buf.size())) > 0;)
    m.update(std::string_view(buf.data(), n));
  return m.hex();
}

}  // namespace

TEST_F(S3ClientTest, StatAndGetOfASinglePartObject) {
  auto before = std::chrono::system_clock::now();
  ObjectWriteResult put =
      client_->put_object("docs", "kb1/report.txt", "hello object store", "text/plain",
                          {{"Owner", "alice"}, {"x-amz-meta-kind", "report"}});
  EXPECT_EQ(put.etag, md5_of("hello object store"));

  ObjectStat stat = client_->stat_object("docs", "kb1/report.txt");
  EXPECT_EQ(stat.size, 18u);
  EXPECT_EQ(stat.etag, md5_of("hello object store"));  // quotes removed
  EXPECT_EQ(stat.etag.find('"'), std::string::npos);
  EXPECT_EQ(stat.content_type, "text/plain");
  ASSERT_TRUE(stat.last_modified.has_value());
  // HTTP dates have whole seconds.
  EXPECT_GE(*stat.last_modified,
            std::chrono::time_point_cast<std::chrono::seconds>(before) - std::chrono::seconds(2));
  EXPECT_LE(*stat.last_modified, std::chrono::system_clock::now() + std::chrono::seconds(2));
  EXPECT_NE(std::find(stat.user_metadata.begin(), stat.user_metadata.end(),
                      std::make_pair(std::string("owner"), std::string("alice"))),
            stat.user_metadata.end());
  EXPECT_TRUE(stat.metadata.get("etag").has_value());

  http::StreamingResponse object = client_->get_object("docs", "kb1/report.txt");
  EXPECT_EQ(object.read(5), "hello");
  EXPECT_EQ(object.read_all(), " object store");
  object.release_conn();

  http::StreamingResponse range = client_->get_object("docs", "kb1/report.txt", 6, 6);
  EXPECT_EQ(range.status(), 206);
  EXPECT_EQ(range.read_all(), "object");
}

TEST_F(S3ClientTest, MultipartObjectsCarryThePartCountInTheirEtag) {
  // A file above the 5 MiB part size goes up in parts, read from disk in place.
  const std::uint64_t size = 11 * 1024 * 1024 + 123;
  auto path = temp_file("multi.bin", size);
  ObjectWriteResult put = client_->fput_object("docs", "big/multi.bin", path);
  EXPECT_TRUE(put.etag.ends_with("-3")) << put.etag;

  ObjectStat stat = client_->stat_object("docs", "big/multi.bin");
  EXPECT_EQ(stat.size, size);
  EXPECT_EQ(stat.etag, put.etag);
  EXPECT_TRUE(stat.etag.ends_with("-3"));

  http::StreamingResponse object = client_->get_object("docs", "big/multi.bin");
  Md5 m;
  for (std::string_view piece = object.next_chunk(); !piece.empty(); piece = object.next_chunk())
    m.update(piece);
  EXPECT_EQ(m.hex(), pattern_md5(size));

  // The same through the explicit calls, with a stream that is not a file.
  std::string upload = client_->create_multipart_upload("docs", "big/explicit.bin");
  std::string first(5 * 1024 * 1024, 'a');
  std::string second = "tail";
  std::vector<UploadedPart> parts{
      {1, client_->upload_part("docs", "big/explicit.bin", upload, 1, first)},
      {2, client_->upload_part("docs", "big/explicit.bin", upload, 2, second)}};
  ObjectWriteResult done =
      client_->complete_multipart_upload("docs", "big/explicit.bin", upload, parts);
  EXPECT_TRUE(done.etag.ends_with("-2")) << done.etag;
  EXPECT_EQ(client_->stat_object("docs", "big/explicit.bin").size, first.size() + 4);

  // A reader of 6 MiB that is not a file: buffered one part at a time.
  PatternSource reader(6 * 1024 * 1024);
  ObjectWriteResult streamed = client_->put_object("docs", "big/reader.bin", reader, reader.size());
  EXPECT_TRUE(streamed.etag.ends_with("-2")) << streamed.etag;
  http::StreamingResponse back = client_->get_object("docs", "big/reader.bin");
  Md5 m2;
  for (std::string_view piece = back.next_chunk(); !piece.empty(); piece = back.next_chunk())
    m2.update(piece);
  EXPECT_EQ(m2.hex(), pattern_md5(6 * 1024 * 1024));

  // An upload below the part size is one plain PUT whose etag is the MD5.
  auto small = temp_file("small.bin", 1000);
  EXPECT_EQ(client_->fput_object("docs", "small.bin", small).etag, pattern_md5(1000));
}

TEST_F(S3ClientTest, StreamsA64MiBObjectInConstantMemory) {
  const std::uint64_t size = 64ull * 1024 * 1024;
  // One plain PUT streamed from a generator: the body never exists in memory.
  auto single = make_client(moto_->secret_key(), 128ull * 1024 * 1024);
  PatternSource source(size);
  ObjectWriteResult put = single->put_object("docs", "huge.bin", source, size);
  const std::string expected = pattern_md5(size);
  EXPECT_EQ(put.etag, expected);

  const long rss_before = rss_kib();
  long rss_peak = rss_before;
  http::StreamingResponse object = client_->get_object("docs", "huge.bin");
  EXPECT_EQ(object.content_length(), size);
  Md5 m;
  std::string chunk(8192, '\0');
  std::uint64_t total = 0;
  int reads = 0;
  for (std::size_t n; (n = object.read_into(chunk.data(), chunk.size())) > 0;) {
    m.update(std::string_view(chunk.data(), n));
    total += n;
    if (++reads % 512 == 0) rss_peak = std::max(rss_peak, rss_kib());
  }
  EXPECT_EQ(total, size);
  EXPECT_EQ(m.hex(), expected);
  // Resident memory grew by the buffers only (about 300 KiB), far less than the object.
#if defined(__SANITIZE_ADDRESS__)
  constexpr long kMaxGrowthKiB = 32 * 1024;  // freed blocks wait in AddressSanitizer's quarantine
#else
  constexpr long kMaxGrowthKiB = 4 * 1024;
#endif
  EXPECT_LT(rss_peak - rss_before, kMaxGrowthKiB) << "KiB";

  // Closing early after 1 MiB leaves nothing half-read behind.
  http::StreamingResponse partial = client_->get_object("docs", "huge.bin");
  EXPECT_EQ(partial.read(1024 * 1024).size(), 1024u * 1024u);
  partial.close();
  EXPECT_EQ(client_->stat_object("docs", "huge.bin").size, size);
}

TEST_F(S3ClientTest, MissingKeysAndBucketsRaiseS3Errors) {
  client_->put_object("docs", "present.txt", "x");
  // HEAD answers have no body: the code comes from the status, the names from the request.
  try {
    client_->stat_object("docs", "absent.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "NoSuchKey");
    EXPECT_EQ(e.bucket_name(), "docs");
    EXPECT_EQ(e.object_name(), "absent.txt");
  }
  // GET answers carry the store's error document.
  try {
    client_->get_object("docs", "absent.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "NoSuchKey");
    EXPECT_FALSE(e.message().empty());
    EXPECT_EQ(e.object_name(), "absent.txt");
  }
  try {
    client_->get_object("nobucket", "absent.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "NoSuchBucket");
    EXPECT_EQ(e.bucket_name(), "nobucket");
  }
  EXPECT_TRUE(client_->bucket_exists("docs"));
  EXPECT_FALSE(client_->bucket_exists("nobucket"));

  client_->remove_object("docs", "present.txt");
  EXPECT_THROW(client_->stat_object("docs", "present.txt"), S3Error);
  EXPECT_THROW(client_->stat_object("docs", ""), InvalidArgument);
}

TEST_F(S3ClientTest, WrongCredentialsAreRefused) {
  client_->put_object("docs", "secret.txt", "classified");
  auto wrong = make_client("not-the-secret");
  try {
    wrong->get_object("docs", "secret.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "SignatureDoesNotMatch");
  }
  try {
    wrong->stat_object("docs", "secret.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "AccessDenied");  // a HEAD error has no document
    EXPECT_EQ(e.object_name(), "secret.txt");
  }
  auto unknown = make_client("whatever", 0, "AKIANOSUCHKEY0000000");
  try {
    unknown->get_object("docs", "secret.txt");
    FAIL() << "expected S3Error";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "InvalidAccessKeyId");
  }
  // The right key still works on the same pool.
  EXPECT_EQ(client_->get_object("docs", "secret.txt").read_all(), "classified");
}

TEST_F(S3ClientTest, KeysWithSpacesCjkPlusAndDotSegments) {
  const std::vector<std::string> keys = {
      "dir one/file two.txt", "知识库/文件 名称.pdf", "a+b=c&d;e.txt",
      "x/../y/./z.bin",       "percent%20kept~tilde", "trailing space ",
  };
  for (const auto& key : keys) {
    std::string body = "content of " + key;
    client_->put_object("docs", key, body);
    ObjectStat stat = client_->stat_object("docs", key);
    EXPECT_EQ(stat.size, body.size()) << key;
    EXPECT_EQ(stat.etag, md5_of(body)) << key;
    EXPECT_EQ(client_->get_object("docs", key).read_all(), body) << key;
  }
  // Dot segments are part of the key, not resolved away on the wire.
  try {
    client_->stat_object("docs", "y/z.bin");
    FAIL() << "the dot segments were resolved";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "NoSuchKey");
  }
  EXPECT_EQ(client_->object_url("docs", "知 +/a"),
            "http://" + moto_->endpoint() + "/docs/%E7%9F%A5%20%2B/a");
}

// Last-Modified as a time point when the clock can hold it; a date past its end (2262) used to
// overflow into some other time.
TEST(S3ClientAnswers, LastModifiedOnlyWhereTheClockHoldsIt) {
  const struct {
    const char* header;
    std::optional<std::time_t> seconds;
  } cases[] = {{"Tue, 07 May 2024 09:12:44 GMT", 1715073164},
               {"Tue, 07 May 2565 09:12:44 GMT", std::nullopt},
               {"yesterday", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    TestHttpServer server([&](const TestRequest&) {
      TestReply reply;
      reply.headers = {{"Last-Modified", c.header}, {"ETag", "\"abc\""}};
      return reply;
    });
    S3ClientOptions o;
    o.endpoint = "127.0.0.1:" + std::to_string(server.port());
    S3Client client(o, std::make_shared<http::HttpClient>());
    ObjectStat stat = client.stat_object("docs", "a.pdf");
    EXPECT_EQ(stat.etag, "abc");
    ASSERT_EQ(stat.last_modified.has_value(), c.seconds.has_value());
    if (c.seconds) {
      EXPECT_EQ(std::chrono::system_clock::to_time_t(*stat.last_modified), *c.seconds);
    }
  }
}
