// File and incremental MD5 against known digests and against Python's hashlib.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>

#include "core/common/errors.h"
#include "core/files/md5.h"
#include "support/python_peer.h"
#include "support/temp_dir.h"

using namespace mosswork::core;
using files::calculate_file_md5;
using files::Md5;
using mosswork::test::run_python;
using mosswork::test::ScratchDir;

namespace {

std::string hashlib_md5(const std::string& path) {
  return run_python(
      "import hashlib,sys\n"
      "h=hashlib.md5()\n"
      "with open(sys.argv[1],'rb') as f:\n"
      "    for b in iter(lambda: f.read(1<<20), b''): h.update(b)\n"
      "print(h.hexdigest(), end='')\n",
      {path});
}

void write_random(const std::string& path, std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  std::ofstream(path, std::ios::binary) << data;
}

}  // namespace

TEST(Md5, KnownDigestsWholeAndInPieces) {
  EXPECT_EQ(Md5().hexdigest(), "d41d8cd98f00b204e9800998ecf8427e");
  Md5 md5;
  md5.update("abc");
  EXPECT_EQ(md5.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
  // After a digest the object starts afresh.
  md5.update("The quick brown fox ");
  md5.update("");
  md5.update("jumps over the lazy dog");
  EXPECT_EQ(md5.hexdigest(), "9e107d9d372bb6826bd81d3542a419d6");
}

TEST(Md5, FileDigestsMatchHashlibAroundChunkBoundaries) {
  ScratchDir dir;
  std::string empty = dir.file("empty");
  std::ofstream(empty).close();
  EXPECT_EQ(calculate_file_md5(empty), "d41d8cd98f00b204e9800998ecf8427e");
  unsigned seed = 1;
  for (std::size_t size :
       {std::size_t{1}, std::size_t{8191}, std::size_t{8192}, std::size_t{(1 << 20) - 1},
        std::size_t{1 << 20}, std::size_t{(1 << 20) + 1}, std::size_t{3 * (1 << 20) + 17}}) {
    std::string path = dir.file("r" + std::to_string(size));
    write_random(path, size, seed++);
    EXPECT_EQ(calculate_file_md5(path), hashlib_md5(path)) << "size " << size;
  }
}

TEST(Md5, IncrementalEqualsFileDigest) {
  ScratchDir dir;
  std::string path = dir.file("pieces");
  write_random(path, 100000, 42);
  std::ifstream in(path, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), {});
  Md5 md5;
  for (std::size_t at = 0; at < data.size(); at += 777)
    md5.update(data.data() + at, std::min<std::size_t>(777, data.size() - at));
  EXPECT_EQ(md5.hexdigest(), calculate_file_md5(path));
}

TEST(Md5, LargeSparseFileInBoundedTime) {
  ScratchDir dir;
  std::string path = dir.file("sparse");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(::pwrite(fd, "tail", 4, (150LL << 20) - 4), 4);
  ::close(fd);
  auto start = std::chrono::steady_clock::now();
  std::string ours = calculate_file_md5(path);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(ours, hashlib_md5(path));
}

TEST(Md5, MissingOrUnreadableFileRaises) {
  ScratchDir dir;
  try {
    calculate_file_md5(dir.file("nope"));
    FAIL() << "hashed a missing file";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  try {
    calculate_file_md5(dir.file(""));
    FAIL() << "hashed a directory";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), EISDIR);
  }
}
