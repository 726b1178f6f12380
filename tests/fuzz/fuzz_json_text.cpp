// JSON number and string text as json.dumps writes it, checked as properties rather than against
// fixed texts: a double reads back as the same double, in the fewest digits that do, the nearest
// of those, laid out as float.__repr__ lays it out; an integer reads back; an escaped string is
// JSON string text that decodes to its characters, with exactly the escapes json.dumps writes
// (ASCII only when asked), whatever the width of its characters and however it is cut in chunks.
//
// The input is read three ways: as text of one-, two- and four-byte characters; as 8-byte bit
// patterns of doubles and integers; and as whitespace-separated decimal tokens read as doubles.
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/json_text.h"
#include "fuzz_support.h"

namespace json = mosswork::core::json;
using mosswork::fuzz::require;

namespace {

// Doubles (and integers) looked at per input: the nearest-digits check prints the exact value.
constexpr std::size_t kMaxNumbers = 256;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool reads_back_as(std::string_view text, double value) {
  double back = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  return ec == std::errc() && end == text.data() + text.size() &&
         std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value);
}

// A finite double's text taken apart: its significant digits (no leading or trailing zeros; empty
// for zero) and the position of the decimal point relative to them, as in 0.DIGITS x 10^point.
struct Decimal {
  std::string digits;
  int point = 0;
};

// Checks the text against float.__repr__'s layout and returns its digits.
Decimal check_repr_layout(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  const std::size_t int_begin = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  const std::string_view int_part = text.substr(int_begin, i - int_begin);
  require(!int_part.empty(), "a number starts with a digit", text);
  require(int_part.size() == 1 || int_part[0] != '0', "no leading zero", text);
  std::string_view frac;
  if (i < text.size() && text[i] == '.') {
    const std::size_t frac_begin = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    frac = text.substr(frac_begin, i - frac_begin);
    require(!frac.empty(), "a point is followed by a digit", text);
    require(frac == "0" || frac.back() != '0', "no trailing zero after the point", text);
  }
  const bool exponent_form = i < text.size() && text[i] == 'e';
  int exponent = 0;
  if (exponent_form) {
    ++i;
    require(i < text.size() && (text[i] == '+' || text[i] == '-'), "the exponent has a sign", text);
    const bool negative = text[i++] == '-';
    const std::size_t exp_begin = i;
    while (i < text.size() && is_digit(text[i])) exponent = exponent * 10 + (text[i++] - '0');
    const std::size_t exp_digits = i - exp_begin;
    require(exp_digits >= 2 && (exp_digits == 2 || text[exp_begin] != '0'),
            "the exponent has two digits at least, no needless zero", text);
    if (negative) exponent = -exponent;
    require(int_part != "0", "an exponent form starts with a non-zero digit", text);
    require(frac != "0", "an exponent form has no \".0\"", text);
  } else {
    require(!frac.empty(), "a positional form has a point", text);
  }
  require(i == text.size(), "nothing follows the number", text);

  Decimal d;
  d.digits = std::string(int_part) + std::string(frac);
  d.point = static_cast<int>(int_part.size()) + exponent;
  const std::size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    require(!exponent_form && int_part == "0" && frac == "0", "zero is written 0.0", text);
    return {};
  }
  d.digits.erase(0, lead);
  d.point -= static_cast<int>(lead);
  d.digits.erase(d.digits.find_last_not_of('0') + 1);
  // repr's rule: exponent form for 1e16 and up and below 1e-4, positional in between.
  const bool wants_exponent = d.point > 16 || d.point <= -4;
  require(exponent_form == wants_exponent, "exponent form exactly outside [1e-4, 1e16)", text);
  if (!exponent_form && d.point > static_cast<int>(d.digits.size())) {
    require(frac == "0", "a whole number ends in .0", text);
  }
  return d;
}

// "D.DDDe<exp>" for digits standing at point, as a text strtod reads.
std::string scientific(std::string_view digits, int point) {
  std::string out(1, digits[0]);
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += std::to_string(point - 1);
  return out;
}

// The correctly rounded n-digit decimal of value, from the C library (an independent printer).
Decimal rounded_decimal(double value, int n) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*e", n - 1, std::fabs(value));
  std::string_view t(text);
  const std::size_t e = t.find('e');
  Decimal d;
  for (char c : t.substr(0, e)) {
    if (is_digit(c)) d.digits += c;
  }
  int exponent = 0;
  std::from_chars(t.data() + e + 1 + (t[e + 1] == '+'), t.data() + t.size(), exponent);
  d.point = exponent + 1;
  d.digits.erase(d.digits.find_last_not_of('0') + 1);
  return d;
}

void check_double(double value) {
  // Exactly the documented room, on the heap, so that a write past it is caught.
  auto room = std::make_unique<char[]>(json::kMaxDoubleText);
  const char* end = json::write_double(room.get(), value);
  const std::string_view text(room.get(), static_cast<std::size_t>(end - room.get()));
  require(text.size() <= 24, "at most 24 characters", text);
  if (std::isnan(value)) return require(text == "NaN", "NaN is NaN", text);
  if (std::isinf(value)) {
    return require(text == (value > 0 ? "Infinity" : "-Infinity"), "infinities by name", text);
  }
  require((text[0] == '-') == std::signbit(value), "the sign is kept", text);
  const Decimal d = check_repr_layout(text);
  require(reads_back_as(text, value), "the text reads back as the same double", text);
  if (d.digits.empty()) return;
  const int n = static_cast<int>(d.digits.size());
  require(n <= 17, "at most 17 significant digits", text);
  const std::string sign = std::signbit(value) ? "-" : "";
  if (n > 1) {
    // Fewer digits would do if the (n-1)-digit neighbours on either side read back as value.
    std::string below = d.digits.substr(0, n - 1);
    require(!reads_back_as(sign + scientific(below, d.point), value),
            "no shorter text reads back (below)", text);
    std::string above = below;
    int point = d.point;
    std::size_t k = above.size();
    while (k > 0 && above[k - 1] == '9') above[--k] = '0';
    if (k == 0) {
      above.insert(above.begin(), '1');
      ++point;
    } else {
      ++above[k - 1];
    }
    require(!reads_back_as(sign + scientific(above, point), value),
            "no shorter text reads back (above)", text);
  }
  // Of the n-digit texts that read back, the nearest: the correctly rounded one, whenever that
  // reads back at all.
  const Decimal nearest = rounded_decimal(value, n);
  if (nearest.digits != d.digits || nearest.point != d.point) {
    require(!reads_back_as(sign + scientific(nearest.digits, nearest.point), value),
            "the nearest of the shortest texts", text);
  }
}

void check_integer(long long value) {
  auto room = std::make_unique<char[]>(json::kMaxIntegerText);
  const char* end = json::write_integer(room.get(), value);
  const std::string_view text(room.get(), static_cast<std::size_t>(end - room.get()));
  long long back = 0;
  auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  require(ec == std::errc() && stop == text.data() + text.size() && back == value,
          "an integer reads back", text);
  require(text.size() == 1 || (text[0] != '0' && text.substr(0, 2) != "-0"), "no leading zero",
          text);
}

// ---- strings ------------------------------------------------------------------------------

// How json.dumps writes one UTF-16 unit (a code point from U+10000 up is two of them in ASCII
// output): 0 as it is, 'u' as \uXXXX, else the letter after the backslash.
char expected_form(char32_t unit, bool ascii) {
  switch (unit) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\f':
      return 'f';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
  }
  if (unit < 0x20) return 'u';
  if (ascii && unit >= 0x7f) return 'u';
  return 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is valid JSON, but json.dumps writes lower case
}

struct Unit {
  char32_t value;
  char form;
};

// Decodes the inside of a JSON string, each character (or \u unit) with the form it was written
// in; raw bytes from 0x80 up must be UTF-8 (surrogates in their three-byte form allowed, as
// "surrogatepass" writes them).
std::vector<Unit> decode_json_string(std::string_view text, bool ascii) {
  std::vector<Unit> units;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = s[i];
    require(c >= 0x20 && c != '"', "no raw control character or quote", text);
    if (ascii) require(c < 0x7f, "ASCII output holds printable ASCII only", text);
    if (c == '\\') {
      require(i + 1 < n, "a backslash escapes something", text);
      const char e = static_cast<char>(s[i + 1]);
      if (e == 'u') {
        require(i + 6 <= n, "\\u has four hex digits", text);
        unsigned v = 0;
        for (std::size_t k = 2; k < 6; ++k) {
          const int h = hex_value(static_cast<char>(s[i + k]));
          require(h >= 0, "\\u has four lower-case hex digits", text);
          v = v * 16 + static_cast<unsigned>(h);
        }
        units.push_back({v, 'u'});
        i += 6;
        continue;
      }
      static constexpr std::string_view kShort = "\"\\bfnrt";
      static constexpr char32_t kValue[] = {'"', '\\', '\b', '\f', '\n', '\r', '\t'};
      const std::size_t at = kShort.find(e);
      require(at != std::string_view::npos, "a known escape", text);
      units.push_back({kValue[at], e});
      i += 2;
      continue;
    }
    if (c < 0x80) {
      units.push_back({c, 0});
      ++i;
      continue;
    }
    // Generalised UTF-8: shortest form, at most U+10FFFF.
    const std::size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    require(len != 0 && c < 0xf5 && i + len <= n, "a UTF-8 lead byte with its sequence", text);
    char32_t v = c & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
      require((s[i + k] & 0xc0) == 0x80, "UTF-8 continuation bytes", text);
      v = (v << 6) | (s[i + k] & 0x3f);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    require(v >= kLeast[len] && v <= 0x10ffff, "shortest-form UTF-8 up to U+10FFFF", text);
    units.push_back({v, 0});
    i += len;
  }
  return units;
}

template <bool kAscii, typename CharT>
std::string escape(const CharT* s, std::size_t n, json::EscapeState& state) {
  constexpr std::size_t kPer = sizeof(CharT) == 1 ? json::kMaxEscapedNarrow : json::kMaxEscapedWide;
  // Exactly the room the header asks for, on the heap, so that a write past it is caught.
  const std::size_t room = kPer * n;
  auto out = std::make_unique<char[]>(room);
  char* end = json::write_escaped<kAscii>(out.get(), s, n, state);
  require(end >= out.get() && static_cast<std::size_t>(end - out.get()) <= room,
          "the output fits its room");
  return std::string(out.get(), end);
}

template <bool kAscii, typename CharT>
void check_escaped(const std::vector<CharT>& chars, std::size_t cut) {
  json::EscapeState state;
  const std::string text = escape<kAscii>(chars.data(), chars.size(), state);

  // Cut in two chunks with the state carried over, as the encoder writes a long str.
  json::EscapeState chunked_state;
  cut = chars.empty() ? 0 : cut % (chars.size() + 1);
  std::string chunked = escape<kAscii>(chars.data(), cut, chunked_state);
  chunked += escape<kAscii>(chars.data() + cut, chars.size() - cut, chunked_state);
  require(chunked == text, "chunks write what the whole text writes", text);
  require(chunked_state.non_ascii == state.non_ascii &&
              chunked_state.lone_surrogate == state.lone_surrogate,
          "chunks report what the whole text reports", text);

  // What the characters are in the output's terms: UTF-16 units for ASCII output.
  std::vector<char32_t> expected;
  bool non_ascii = false;
  bool surrogate = false;
  for (CharT ch : chars) {
    const auto c = static_cast<char32_t>(ch);
    non_ascii = non_ascii || c >= 0x80;
    surrogate = surrogate || (c >= 0xd800 && c <= 0xdfff);
    if (kAscii && c >= 0x10000) {
      expected.push_back(0xd800 | ((c - 0x10000) >> 10));
      expected.push_back(0xdc00 | ((c - 0x10000) & 0x3ff));
    } else {
      expected.push_back(c);
    }
  }
  const std::vector<Unit> units = decode_json_string(text, kAscii);
  require(units.size() == expected.size(), "the output decodes to as many characters", text);
  for (std::size_t i = 0; i < units.size(); ++i) {
    require(units[i].value == expected[i], "the output decodes to the characters", text);
    require(units[i].form == expected_form(expected[i], kAscii),
            "each character escaped exactly as json.dumps escapes it", text);
  }
  if (!kAscii) {
    require(state.non_ascii == non_ascii, "non_ascii says whether a character is from 0x80 up",
            text);
    require(state.lone_surrogate == surrogate, "lone_surrogate says whether a surrogate is there",
            text);
  }
}

template <typename CharT>
void check_both(const std::vector<CharT>& chars, std::size_t cut) {
  check_escaped<true>(chars, cut);
  check_escaped<false>(chars, cut);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t cut = size ? data[0] * 31u + size / 3 : 0;

  check_both(std::vector<unsigned char>(data, data + size), cut);
  std::vector<char16_t> ucs2(size / 2);
  for (std::size_t i = 0; i < ucs2.size(); ++i) {
    ucs2[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  check_both(ucs2, cut);
  std::vector<char32_t> ucs4(size / 4);
  for (std::size_t i = 0; i < ucs4.size(); ++i) {
    std::uint32_t v;
    std::memcpy(&v, data + 4 * i, 4);
    ucs4[i] = static_cast<char32_t>(v % 0x110000);
  }
  check_both(ucs4, cut);

  for (std::size_t i = 0; i + 8 <= size && i / 8 < kMaxNumbers; i += 8) {
    std::uint64_t bits;
    std::memcpy(&bits, data + i, 8);
    check_double(std::bit_cast<double>(bits));
    check_integer(static_cast<long long>(bits));
  }

  // Decimal tokens: the doubles people write (0.1, 1e23, 5e-324) and their neighbours.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t tokens = 0;
  for (std::size_t i = 0; i < text.size() && tokens < kMaxNumbers;) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t j = i;
    while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + j, value);
    if (end != text.data() + i && (ec == std::errc() || ec == std::errc::result_out_of_range)) {
      ++tokens;
      check_double(value);
      check_double(std::nextafter(value, HUGE_VAL));
      check_double(std::nextafter(value, -HUGE_VAL));
    }
    i = j;
  }
  return 0;
}
