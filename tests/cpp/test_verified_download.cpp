// The verified download against a fake object store: path planning and the byte budget, names
// that would leave the tree, retries, lock exclusion while failed calls delete their lock files,
// and a lock wait that times out leaving the holder's lock file alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/common/errors.h"
#include "core/files/file_lock.h"
#include "core/files/md5.h"
#include "core/http/http_client.h"
#include "core/s3/verified_download.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

using namespace std::chrono_literals;
using namespace mosswork::core;
using namespace mosswork::core::s3;
using mosswork::test::open_fd_count;
using mosswork::test::ScratchDir;
using mosswork::testing::TestHttpServer;
using mosswork::testing::TestReply;
using mosswork::testing::TestRequest;

namespace {

// A Log that keeps (level, text) pairs in order.
class Lines final : public Log {
 public:
  bool enabled(LogLevel) const override { return true; }
  void write(LogLevel level, std::string_view text) override {
    std::lock_guard lock(mu_);
    lines_.emplace_back(level, std::string(text));
  }
  std::vector<std::pair<LogLevel, std::string>> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<LogLevel, std::string>> lines_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An object store that knows one object per key, answers HEAD and GET, and notes how many
// requests for one key were in flight at once.
class FakeStore {
 public:
  FakeStore()
      : server_([this](const TestRequest& r) { return handle(r); }),
        http_(std::make_shared<http::HttpClient>()) {
    S3ClientOptions options;
    options.endpoint = "127.0.0.1:" + std::to_string(server_.port());
    client_ = std::make_unique<S3Client>(options, http_);
  }

  void put(const std::string& key, std::string body, std::string etag) {
    std::lock_guard lock(mu_);
    objects_[key] = {std::move(body), std::move(etag)};
  }
  // Bodies of the next GETs, replacing the object's (a short or corrupt copy).
  void next_bodies(std::vector<std::string> bodies) {
    std::lock_guard lock(mu_);
    planned_ = std::move(bodies);
  }
  void set_head_delay(std::chrono::milliseconds d) { head_delay_ = d; }
  int max_in_flight() const { return max_in_flight_.load(); }
  int gets() const { return gets_.load(); }
  S3Client& client() { return *client_; }

 private:
  TestReply handle(const TestRequest& r) {
    int now = ++in_flight_;
    int seen = max_in_flight_.load();
    while (now > seen && !max_in_flight_.compare_exchange_weak(seen, now)) {
    }
    TestReply reply = answer(r);
    --in_flight_;
    return reply;
  }

  TestReply answer(const TestRequest& r) {
    const std::string key = r.target.substr(r.target.find('/', 1) + 1);
    if (r.method == "HEAD") std::this_thread::sleep_for(head_delay_);
    std::lock_guard lock(mu_);
    auto it = objects_.find(key);
    TestReply reply;
    if (it == objects_.end()) {
      reply.status = 404;
      reply.headers = {{"Content-Length", "0"}};
      return reply;
    }
    if (r.method == "HEAD") {
      reply.headers = {{"Content-Length", std::to_string(it->second.first.size())},
                       {"ETag", "\"" + it->second.second + "\""}};
      return reply;
    }
    ++gets_;
    reply.body = it->second.first;
    if (!planned_.empty()) {
      reply.body = planned_.front();
      planned_.erase(planned_.begin());
    }
    return reply;
  }

  TestHttpServer server_;
  std::shared_ptr<http::HttpClient> http_;
  std::unique_ptr<S3Client> client_;
  std::mutex mu_;
  std::map<std::string, std::pair<std::string, std::string>> objects_;
  std::vector<std::string> planned_;
  std::chrono::milliseconds head_delay_{0};
  std::atomic<int> in_flight_{0}, max_in_flight_{0}, gets_{0};
};

VerifiedDownloadOptions quick_options(const ScratchDir& dir) {
  VerifiedDownloadOptions o;
  o.root = dir.file("tree") + "/";
  o.retry_pause = 10ms;
  o.lock_timeout = 5s;
  o.lock_poll_interval = 1ms;
  return o;
}

std::string md5_hex(const std::string& data);

}  // namespace

// ---- planning ----------------------------------------------------------------------------------

TEST(VerifiedDownloadPlan, PathsFollowTheKeyPrefixAndTheProcess) {
  NullLog log;
  DownloadPaths p = plan_download_paths("kb1/7f3e/report.pdf", "report.pdf", 4242, "a1b2c3d4", log);
  EXPECT_EQ(p.temp_dir, "/tmp/minio_downloads/4242/kb1/7f3e/report.pdf");
  EXPECT_EQ(p.lock_file, "/tmp/minio_downloads/4242/kb1/7f3e/report.pdf.lock");
  EXPECT_EQ(p.local_file_path, "/tmp/minio_downloads/4242/kb1/7f3e/report.pdf/report.pdf");
  EXPECT_EQ(p.temp_download_path, p.local_file_path + ".a1b2c3d4.downloading");
  EXPECT_EQ(p.verify_path, p.local_file_path + ".a1b2c3d4.verify");
  EXPECT_FALSE(p.shortened);

  std::string forty(40, 'k');
  EXPECT_EQ(plan_download_paths(forty, "d", 1, "00000000", log).temp_dir,
            "/tmp/minio_downloads/1/" + std::string(32, 'k'));
  // Thirty-two characters, not bytes: each of these is three bytes long.
  std::string cjk;
  for (int i = 0; i < 40; ++i) cjk += "文";
  EXPECT_EQ(plan_download_paths(cjk, "d", 1, "00000000", log).temp_dir,
            "/tmp/minio_downloads/1/" + cjk.substr(0, 96));
}

TEST(VerifiedDownloadPlan, LongNameIsCutBeforeAMultiByteCharacterNotInsideIt) {
  std::string word;
  for (int i = 0; i < 100; ++i) word += "报";
  for (std::string lead : {"", "a", "ab"}) {
    Lines log;
    DownloadPaths p = plan_download_paths("kb/x", lead + word + ".docx", 77, "12345678", log);
    ASSERT_TRUE(p.shortened);
    const std::size_t budget = 255 - (std::string("/tmp/minio_downloads/77/kb/x").size() + 1) - 21;
    const std::size_t max_name = budget - 5 - 3;
    ASSERT_TRUE(p.doc_name.ends_with("....docx")) << p.doc_name;
    std::string kept = p.doc_name.substr(0, p.doc_name.size() - 8);
    EXPECT_TRUE(kept.starts_with(lead));
    EXPECT_EQ((kept.size() - lead.size()) % 3, 0u) << "a character was split";
    EXPECT_LE(kept.size(), max_name);
    EXPECT_GT(kept.size() + 3, max_name) << "cut earlier than needed";
    EXPECT_LE(p.temp_download_path.size(), 255u);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, LogLevel::kWarning);
    EXPECT_EQ(lines[0].second, "File name truncated to: " + p.doc_name);
  }
}

TEST(VerifiedDownloadPlan, ExtensionTooLongIsRefusedWithTheLoggedLength) {
  Lines log;
  std::string ext = "." + std::string(240, 'e');
  try {
    plan_download_paths("kb/x", "n" + ext, 77, "12345678", log);
    FAIL() << "an oversized path was planned";
  } catch (const InvalidArgument& e) {
    EXPECT_STREQ(e.what(), "Path length exceeds system limit");
  }
  std::string path = "/tmp/minio_downloads/77/kb/x/..." + ext + ".12345678.downloading";
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].first, LogLevel::kError);
  EXPECT_EQ(lines[1].second,
            "Path too long even after truncation: " + std::to_string(path.size()) + " bytes");
}

TEST(VerifiedDownloadPlan, NamesThatWouldLeaveTheTreeAreRefused) {
  NullLog log;
  const std::vector<std::string> keys = {"../x", "a/../../x", "/etc/x", "..",
                                         std::string("a\0b", 3)};
  for (const std::string& key : keys) {
    EXPECT_THROW(plan_download_paths(key, "d.pdf", 1, "00000000", log), InvalidArgument) << key;
  }
  const std::vector<std::string> docs = {"../d.pdf", "/tmp/d.pdf", "s/../../d", "..",
                                         std::string("d\0.pdf", 6)};
  for (const std::string& doc : docs) {
    EXPECT_THROW(plan_download_paths("kb/x", doc, 1, "00000000", log), InvalidArgument) << doc;
  }
  // Dots inside names, and ".." past the key's first 32 characters, are harmless.
  EXPECT_NO_THROW(plan_download_paths("a..b/..c", "..d..pdf", 1, "00000000", log));
  EXPECT_NO_THROW(plan_download_paths(std::string(32, 'k') + "/../x", "d", 1, "00000000", log));
}

TEST(VerifiedDownloadPlan, NamesThatNameNoFileAreRefusedAndSubFoldersAreKept) {
  NullLog log;
  for (const std::string doc : {"", "sub/", "sub/.", ".", "./", "a//"}) {
    EXPECT_THROW(plan_download_paths("kb/x", doc, 1, "00000000", log), InvalidArgument) << doc;
  }
  DownloadPaths p = plan_download_paths("kb/x", "scans/p1.pdf", 1, "00000000", log);
  EXPECT_EQ(p.local_file_path, "/tmp/minio_downloads/1/kb/x/scans/p1.pdf");
  EXPECT_EQ(p.temp_download_path, "/tmp/minio_downloads/1/kb/x/scans/p1.pdf.00000000.downloading");
}

TEST(VerifiedDownloadPlan, ExtensionSplitAsPythonDoes) {
  EXPECT_EQ(split_extension("a.tar.gz"), std::make_pair(std::string("a.tar"), std::string(".gz")));
  EXPECT_EQ(split_extension(".bashrc"), std::make_pair(std::string(".bashrc"), std::string()));
  EXPECT_EQ(split_extension("..x.pdf"), std::make_pair(std::string("..x"), std::string(".pdf")));
  EXPECT_EQ(split_extension("noext"), std::make_pair(std::string("noext"), std::string()));
  EXPECT_EQ(split_extension("dir.d/file"),
            std::make_pair(std::string("dir.d/file"), std::string()));
  EXPECT_EQ(split_extension("name."), std::make_pair(std::string("name"), std::string(".")));
}

// ---- downloads ---------------------------------------------------------------------------------

TEST(VerifiedDownload, ShortCopiesAreRetriedAndTheCommittedFileIsTheObject) {
  ScratchDir dir;
  FakeStore store;
  std::string body(20000, 'x');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  store.put("kb/o", body, md5_hex(body));
  store.next_bodies({body.substr(0, 100), body.substr(0, 100)});
  Lines log;
  auto path = download_verified(&store.client(), "b", "kb/o", "o.bin", log, quick_options(dir));
  ASSERT_TRUE(path);
  EXPECT_EQ(slurp(*path), body);
  EXPECT_EQ(store.gets(), 4);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].second,
            "Download attempt 1 failed: Size mismatch - local: 100, remote: 20000");
  EXPECT_EQ(lines[2].second,
            "Download attempt 2 failed: Size mismatch - local: 100, remote: 20000");
}

TEST(VerifiedDownload, EveryAttemptFailingLeavesNoFileNorLockAndNoDescriptor) {
  ScratchDir dir;
  FakeStore store;
  std::string body(5000, 'y');
  store.put("kb/o", body, md5_hex(body));
  std::string wrong = body;
  wrong[10] = 'z';
  store.next_bodies({wrong, wrong, wrong});
  auto options = quick_options(dir);
  Lines log;
  // A first call warms the transport's pool, whose kept connection is not a leak.
  download_verified(&store.client(), "b", "kb/missing", "o.bin", log, options);
  int fds = open_fd_count();
  EXPECT_FALSE(download_verified(&store.client(), "b", "kb/o", "o.bin", log, options));
  EXPECT_EQ(open_fd_count(), fds);
  std::string base = options.root + std::to_string(::getpid());
  EXPECT_FALSE(std::filesystem::exists(base + "/kb/o"));
  EXPECT_FALSE(std::filesystem::exists(base + "/kb/o.lock"));
  EXPECT_EQ(log.lines().back().second, "Process " + std::to_string(::getpid()) +
                                           ": Download error - bucket: b, object: kb/o, error: "
                                           "First MD5 mismatch - local: " +
                                           md5_hex(wrong) + ", remote: " + md5_hex(body));
}

// Failed calls delete their lock file and directory. Waiters that polled the old file and
// newcomers that create a fresh one must still never work on one object at the same time: the
// store sees at most one request for the key at once.
TEST(VerifiedDownload, CallersNeverOverlapWhileFailedCallsDeleteTheirLockFiles) {
  ScratchDir dir;
  FakeStore store;
  store.set_head_delay(2ms);
  auto options = quick_options(dir);
  options.lock_timeout = 30s;
  Lines log;
  std::vector<std::thread> threads;
  std::atomic<int> results{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        if (!download_verified(&store.client(), "b", "kb/absent", "d.pdf", log, options)) ++results;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(results.load(), 200);
  EXPECT_EQ(store.max_in_flight(), 1);
  // Every call got as far as asking the store: none failed on a folder pruned under it.
  int asked = 0;
  for (const auto& line : log.lines()) asked += line.second.starts_with("Failed to access object");
  EXPECT_EQ(asked, 200) << log.lines().back().second;
  std::string base = options.root + std::to_string(::getpid());
  EXPECT_FALSE(std::filesystem::exists(base + "/kb/absent.lock"));
  EXPECT_FALSE(std::filesystem::exists(base + "/kb/absent"));
  // The key's folder goes with the last call, though the others removed it under each other.
  EXPECT_FALSE(std::filesystem::exists(base + "/kb"));
}

TEST(VerifiedDownload, DocumentSubFoldersAreMadeAndFailuresLeaveNoEmptyFolder) {
  ScratchDir dir;
  FakeStore store;
  store.put("kb/o", "body", md5_hex("body"));
  auto options = quick_options(dir);
  std::string base = options.root + std::to_string(::getpid());
  NullLog log;
  auto path = download_verified(&store.client(), "b", "kb/o", "s/d/o.bin", log, options);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, base + "/kb/o/s/d/o.bin");
  EXPECT_EQ(slurp(*path), "body");

  // A failure prunes what it made: the name's sub-folders, the object's directory, the key's
  // folders, and the process's folder, which this call made too.
  std::filesystem::remove_all(base);
  EXPECT_FALSE(
      download_verified(&store.client(), "b", "kb/deep/absent", "s/d/o.bin", log, options));
  EXPECT_FALSE(std::filesystem::exists(base));

  // Another object's directory (a lock file beside it) stays, however empty.
  std::filesystem::create_directories(base + "/kb/held");
  files::FileLock holder(base + "/kb/held.lock");
  EXPECT_FALSE(download_verified(&store.client(), "b", "kb/held/x/absent", "o.bin", log, options));
  EXPECT_TRUE(std::filesystem::is_directory(base + "/kb/held"));
  EXPECT_FALSE(std::filesystem::exists(base + "/kb/held/x"));
}

TEST(VerifiedDownload, LockWaitThatTimesOutLeavesTheHoldersLockFile) {
  ScratchDir dir;
  FakeStore store;
  std::string body = "held";
  store.put("kb/o", body, md5_hex(body));
  auto options = quick_options(dir);
  options.lock_timeout = 200ms;
  options.lock_poll_interval = 20ms;
  std::string base = options.root + std::to_string(::getpid());
  std::filesystem::create_directories(base + "/kb/o");
  files::FileLock holder(base + "/kb/o.lock");
  struct stat before{};
  ASSERT_EQ(::stat((base + "/kb/o.lock").c_str(), &before), 0);
  Lines log;
  EXPECT_FALSE(download_verified(&store.client(), "b", "kb/o", "o.bin", log, options));
  struct stat after{};
  ASSERT_EQ(::stat((base + "/kb/o.lock").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(std::filesystem::is_directory(base + "/kb/o"));
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, LogLevel::kWarning);
  EXPECT_EQ(lines[0].second, "Process " + std::to_string(::getpid()) +
                                 ": Timeout waiting for lock on " + base + "/kb/o.lock");
  EXPECT_EQ(store.gets(), 0);
}

TEST(VerifiedDownload, MissingClientIsAnAccessFailure) {
  ScratchDir dir;
  auto options = quick_options(dir);
  options.missing_client_text = "no store";
  Lines log;
  EXPECT_FALSE(download_verified(nullptr, "b", "kb/o", "o.bin", log, options));
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "Failed to access object - bucket: b, object: kb/o, error: no store");
}

namespace {

std::string md5_hex(const std::string& data) {
  ScratchDir dir;
  std::string path = dir.file("md5");
  std::ofstream(path, std::ios::binary) << data;
  return files::calculate_file_md5(path);
}

}  // namespace
