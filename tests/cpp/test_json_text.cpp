// JSON number and string text as Python's json writes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/json_text.h"

namespace json = mosswork::core::json;

namespace {

struct DoubleCase {
  std::uint64_t bits;
  const char* text;  // json.dumps(float) in CPython, which is repr() for finite values
};

// Generated once with CPython 3.11: json.dumps(struct.unpack("<d", bits)[0]).
constexpr DoubleCase kDoubles[] = {
    {0x0000000000000000, "0.0"},
    {0x8000000000000000, "-0.0"},
    {0x3ff0000000000000, "1.0"},
    {0xbff8000000000000, "-1.5"},
    {0x3fb999999999999a, "0.1"},
    {0x3fd3333333333334, "0.30000000000000004"},
    {0x3fd5555555555555, "0.3333333333333333"},
    {0x4059000000000000, "100.0"},
    {0x40fe240c9fbe76c9, "123456.789"},
    {0x430c6bf526340000, "1000000000000000.0"},
    {0x4341c37937e08000, "1e+16"},
    {0x4341c37937e07fff, "9999999999999998.0"},
    {0x4345ee2a2eb5a5c4, "1.2345678901234568e+16"},
    {0x3f1a36e2eb1c432d, "0.0001"},
    {0x3ee4f8b588e368f1, "1e-05"},
    {0x3efa36e2eb1c432d, "2.5e-05"},
    {0x3e7ad7f29abcaf48, "1e-07"},
    {0x4480f0cf064dd592, "1e+22"},
    {0x44b52d02c7e14af6, "1e+23"},
    {0x0000000000000001, "5e-324"},
    {0x0010000000000000, "2.2250738585072014e-308"},
    {0x7fefffffffffffff, "1.7976931348623157e+308"},
    {0x8008e0a3a2bc301f, "-1.2345678901234567e-308"},
    {0x400921fb54442d18, "3.141592653589793"},
    {0x4340000000000000, "9007199254740992.0"},
    {0x43e0000000000000, "9.223372036854776e+18"},
    {0x54b249ad2594c37d, "1e+100"},
    {0x0008d83aff3e96b1, "1.23e-308"},
    {0x7ff8000000000000, "NaN"},
    {0x7ff0000000000000, "Infinity"},
    {0xfff0000000000000, "-Infinity"},
};

TEST(JsonText, DoublesAreWrittenAsPythonRepr) {
  for (const DoubleCase& c : kDoubles) {
    char buffer[json::kMaxDoubleText];
    char* end = json::write_double(buffer, std::bit_cast<double>(c.bits));
    EXPECT_EQ(std::string(buffer, end), c.text) << std::hex << c.bits;
  }
}

// Random bit patterns: the text reads back to the same double and has no more digits than the
// shortest that to_chars finds.
TEST(JsonText, RandomDoublesRoundTripWithShortestDigits) {
  std::mt19937_64 rng(20240611);
  auto digit_count = [](std::string_view text) {
    std::string_view mantissa = text.substr(0, text.find('e'));
    std::size_t first = mantissa.find_first_not_of("-0.");
    if (first == std::string_view::npos) return std::size_t{1};
    std::size_t n = 0;
    for (char c : mantissa.substr(first)) n += c >= '0' && c <= '9';
    // Trailing zeros of an integral value ("100.0") are not significant digits.
    std::size_t last = mantissa.find_last_not_of("0.");
    for (std::size_t i = last + 1; i < mantissa.size(); ++i) n -= mantissa[i] == '0';
    return n;
  };
  for (int i = 0; i < 200000; ++i) {
    double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    char buffer[json::kMaxDoubleText];
    std::string text(buffer, json::write_double(buffer, value));
    double back = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(ec == std::errc() && end == text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    char shortest[json::kMaxDoubleText];
    auto sci =
        std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
    ASSERT_EQ(digit_count(text), digit_count(std::string_view(shortest, sci.ptr))) << text;
  }
}

TEST(JsonText, IntegersAreWrittenInFull) {
  for (auto [value, text] : {std::pair<long long, const char*>{0, "0"},
                             {-1, "-1"},
                             {LLONG_MAX, "9223372036854775807"},
                             {LLONG_MIN, "-9223372036854775808"}}) {
    char buffer[json::kMaxIntegerText];
    EXPECT_EQ(std::string(buffer, json::write_integer(buffer, value)), text);
  }
}

struct EscapeCase {
  std::u32string text;
  const char* ascii;  // json.dumps(text, ensure_ascii=True) without the quotes
  const char* utf8;   // json.dumps(text, ensure_ascii=False), UTF-8 with surrogatepass, unquoted
  bool lone_surrogate;
};

// Generated once with CPython 3.11.
const EscapeCase kEscapes[] = {
    {U"plain", "plain", "plain", false},
    {U"a\"b\\c/d", R"(a\"b\\c/d)", R"(a\"b\\c/d)", false},
    {std::u32string(U"\b\f\n\r\t\0\x01\x1f", 8), R"(\b\f\n\r\t\u0000\u0001\u001f)",
     R"(\b\f\n\r\t\u0000\u0001\u001f)", false},
    {U"\x7f", R"(\u007f)", "\x7f", false},
    {U"\xe9\xff", R"(\u00e9\u00ff)", "\xc3\xa9\xc3\xbf", false},
    {U"\u540d", R"(\u540d)", "\xe5\x90\x8d", false},
    {U"\U0001f600", R"(\ud83d\ude00)", "\xf0\x9f\x98\x80", false},
    {U"\u2028", R"(\u2028)", "\xe2\x80\xa8", false},
    {std::u32string{0xd800}, R"(\ud800)", "\xed\xa0\x80", true},
    {std::u32string{U'a', 0xdfff, U'b'}, R"(a\udfffb)",
     "a\xed\xbf\xbf"
     "b",
     true},
    // Longer than one eight-byte scan, with characters to escape inside and after it.
    {U"abcdefgh\"ijklmnop\x01qrstuvw\x7fxyz0123\\9",
     R"(abcdefgh\"ijklmnop\u0001qrstuvw\u007fxyz0123\\9)",
     R"(abcdefgh\"ijklmnop\u0001qrstuvw)"
     "\x7f"
     R"(xyz0123\\9)",
     false},
    {U"0123456789abcdef\xe9", R"(0123456789abcdef\u00e9)", "0123456789abcdef\xc3\xa9", false},
    // Non-ASCII runs meeting ASCII runs and escapes on either side.
    {U"\u4e2d\u6587ab\"\u4e2d\x01\u00e9\U0001f600\\",
     R"(\u4e2d\u6587ab\"\u4e2d\u0001\u00e9\ud83d\ude00\\)",
     "\xe4\xb8\xad\xe6\x96\x87"
     "ab\\\"\xe4\xb8\xad\\u0001\xc3\xa9\xf0\x9f\x98\x80\\\\",
     false},
    {std::u32string{0x4e2d, 0xdc00, U'\x7f', 0x10ffff}, R"(\u4e2d\udc00\u007f\udbff\udfff)",
     "\xe4\xb8\xad\xed\xb0\x80\x7f\xf4\x8f\xbf\xbf", true},
};

// The text written for the case's code points held as CharT, as a str of that kind holds them.
template <bool kAscii, typename CharT>
std::string escaped(const std::u32string& text, json::EscapeState& state) {
  std::vector<CharT> units(text.begin(), text.end());
  std::string out(json::kMaxEscapedWide * units.size(), '\0');
  char* end = json::write_escaped<kAscii>(out.data(), units.data(), units.size(), state);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

template <bool kAscii>
void check_every_width(const EscapeCase& c) {
  char32_t widest = 0;
  for (char32_t ch : c.text) widest = std::max(widest, ch);
  const std::string expected = kAscii ? c.ascii : c.utf8;
  std::vector<std::pair<std::string, json::EscapeState>> results;
  auto run = [&](auto tag) {
    json::EscapeState state;
    std::string out = escaped<kAscii, decltype(tag)>(c.text, state);
    results.emplace_back(std::move(out), state);
  };
  run(char32_t{});
  if (widest <= 0xffff) run(char16_t{});
  if (widest <= 0xff) run(static_cast<unsigned char>(0));
  for (const auto& [out, state] : results) {
    EXPECT_EQ(out, expected) << "ensure_ascii=" << kAscii << " width case " << c.ascii;
    EXPECT_EQ(state.non_ascii, !kAscii && widest >= 0x80) << c.ascii;
    EXPECT_EQ(state.lone_surrogate, !kAscii && c.lone_surrogate) << c.ascii;
  }
}

TEST(JsonText, StringsAreEscapedAsPythonEscapesThem) {
  for (const EscapeCase& c : kEscapes) {
    check_every_width<true>(c);
    check_every_width<false>(c);
  }
}

}  // namespace
