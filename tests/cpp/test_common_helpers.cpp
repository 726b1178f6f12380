// The small shared helpers of the core: hex, seconds conversions, percent-encoding, random
// tokens and owned descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/common/chrono_units.h"
#include "core/common/hex.h"
#include "core/common/random_token.h"
#include "core/common/unique_fd.h"
#include "core/http/url.h"

using namespace mosswork::core;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(Hex, LowerCaseTwoDigitsPerByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {std::string("\0", 1), "00"},
      {"\x01\x7f\x80\xff", "017f80ff"},
      {"\xAB\xCD\xEF", "abcdef"},
      {"Az", "417a"},
  };
  for (const auto& [bytes, hex] : cases) EXPECT_EQ(to_hex(bytes), hex) << hex;
}

TEST(Hex, DigestsOfKnownInputs) {
  EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ChronoUnits, SecondsToMilliseconds) {
  const double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, milliseconds> cases[] = {
      {0.0, milliseconds(0)},       {-0.0, milliseconds(0)},         {1.5, milliseconds(1500)},
      {0.0004, milliseconds(0)},    {0.0005, milliseconds(1)},  // halves go away from zero
      {2.675, milliseconds(2675)},  {-1.25, milliseconds(-1250)},    {-0.0006, milliseconds(-1)},
      {1e300, milliseconds::max()}, {kInf, milliseconds::max()},     {-1e300, milliseconds::min()},
      {-kInf, milliseconds::min()}, {std::nan(""), milliseconds(0)},
  };
  for (const auto& [seconds, ms] : cases) {
    EXPECT_EQ(seconds_to_ms(seconds).count(), ms.count()) << seconds;
  }
}

TEST(ChronoUnits, RoundSecondsToOtherUnits) {
  EXPECT_EQ(round_seconds<microseconds>(0.1).count(), 100000);
  EXPECT_EQ(round_seconds<std::chrono::seconds>(2.5).count(), 3);
  EXPECT_EQ(round_seconds<std::chrono::nanoseconds>(1e10), std::chrono::nanoseconds::max());
}

TEST(ChronoUnits, ToTimeval) {
  const std::pair<microseconds, std::pair<long, long>> cases[] = {
      {microseconds(0), {0, 0}},       {microseconds(999999), {0, 999999}},
      {microseconds(1000000), {1, 0}}, {milliseconds(2500), {2, 500000}},
      {microseconds(-5), {0, 0}},
  };
  for (const auto& [duration, expected] : cases) {
    const timeval tv = to_timeval(duration);
    EXPECT_EQ(tv.tv_sec, expected.first) << duration.count();
    EXPECT_EQ(tv.tv_usec, expected.second) << duration.count();
  }
}

TEST(PercentEncode, SafeSets) {
  struct Case {
    std::string text, safe, encoded;
  };
  const Case cases[] = {
      {"a/b c", "", "a%2Fb%20c"},         {"a/b c", "/", "a/b%20c"},
      {"idx-1,idx*", ",*", "idx-1,idx*"}, {"idx-1,idx*", "", "idx-1%2Cidx%2A"},
      {"\xC3\xA9", "\xC3\xA9", "%C3%A9"},  // only ASCII can be kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http::percent_encode(c.text, c.safe), c.encoded) << c.text;
    EXPECT_EQ(quote(c.text, c.safe), c.encoded) << c.text;
  }
  EXPECT_EQ(http::percent_encode("a/b"), "a%2Fb");  // keeps nothing by default
}

TEST(RandomToken, LengthAlphabetAndFreshness) {
  for (std::size_t bytes : {0u, 4u, 16u}) {
    const std::string token = random_hex(bytes);
    EXPECT_EQ(token.size(), 2 * bytes);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
  }
  EXPECT_NE(random_hex(16), random_hex(16));
}

TEST(UniqueFd, ClosesOnDestructionAndFollowsMoves) {
  int raw = -1;
  {
    UniqueFd fd = open_fd("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(fd);
    raw = fd.get();
    UniqueFd moved = std::move(fd);
    EXPECT_FALSE(fd);
    EXPECT_EQ(moved.get(), raw);
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw));

  UniqueFd fd = open_fd("/dev/null", O_RDONLY | O_CLOEXEC);
  raw = fd.release();
  EXPECT_FALSE(fd);
  EXPECT_TRUE(is_open(raw));  // release hands it over unclosed
  fd.reset(raw);
  UniqueFd other = open_fd("/dev/null", O_RDONLY | O_CLOEXEC);
  const int second = other.get();
  other = std::move(fd);  // the old descriptor of `other` is closed
  EXPECT_FALSE(is_open(second));
  EXPECT_EQ(other.get(), raw);
  other.reset();
  EXPECT_FALSE(is_open(raw));
}

TEST(UniqueFd, OpenFailureLeavesErrno) {
  errno = 0;
  const UniqueFd fd = open_fd("/nonexistent/dir/file", O_RDONLY);
  EXPECT_FALSE(fd);
  EXPECT_EQ(errno, ENOENT);
}
