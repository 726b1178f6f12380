// The pieces of JSON text that Python's json module writes: numbers (float as repr, int) and the
// inside of a string, escaped with ensure_ascii on or off. Plain C++; callers reserve the room.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/common/utf8.h"

namespace mosswork::core::json {

// ---- numbers ------------------------------------------------------------------------------

// Room write_double needs at out: the text is at most 24 characters (as in
// -1.2345678901234567e-308), but the writer moves digits in fixed-size blocks that may reach
// further; what lies past the returned end is scratch.
inline constexpr std::size_t kMaxDoubleText = 48;
// Room for any text write_integer produces ("-9223372036854775808").
inline constexpr std::size_t kMaxIntegerText = 20;

// What json writes for a float: float.__repr__ for a finite value, else NaN / Infinity /
// -Infinity. Uses at most kMaxDoubleText bytes at out and returns the text's end.
char* write_double(char* out, double value);

// int.__repr__ of value: at most kMaxIntegerText characters at out; returns the end.
inline char* write_integer(char* out, long long value) {
  return std::to_chars(out, out + kMaxIntegerText, value).ptr;
}

// ---- strings ------------------------------------------------------------------------------

// What the escaped characters held, for turning the UTF-8 output back into a str.
struct EscapeState {
  bool non_ascii = false;       // some character was written as UTF-8 bytes
  bool lone_surrogate = false;  // one of them was a surrogate (its "surrogatepass" form)
};

// Output bytes one input character may take: "\u00XX" for a one-byte character; two
// "\uXXXX" escapes for a character from U+10000 up.
inline constexpr std::size_t kMaxEscapedNarrow = 6;
inline constexpr std::size_t kMaxEscapedWide = 12;

namespace detail {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// For each ASCII character: 0 when it is written as is, otherwise the character that follows
// the backslash ('u' for \u00XX). 0x7f is escaped only when the output must be ASCII.
constexpr std::array<char, 128> make_escapes(bool ascii_only) {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  if (ascii_only) table[0x7f] = 'u';
  return table;
}

template <bool kAscii>
inline constexpr std::array<char, 128> kEscapes = make_escapes(kAscii);

// The two hex digits of each byte value, so that an escape takes two lookups rather than four.
inline constexpr auto kHexPairs = [] {
  std::array<std::array<char, 2>, 256> pairs{};
  for (int b = 0; b < 256; ++b) pairs[b] = {kHexDigits[b >> 4], kHexDigits[b & 0xf]};
  return pairs;
}();

inline char* write_u_escape(char* out, unsigned c) {
  out[0] = '\\';
  out[1] = 'u';
  std::memcpy(out + 2, kHexPairs[(c >> 8) & 0xff].data(), 2);
  std::memcpy(out + 4, kHexPairs[c & 0xff].data(), 2);
  return out + 6;
}

// An ASCII character that the table escapes.
template <bool kAscii>
inline char* write_ascii_escape(char* out, unsigned c) {
  char e = kEscapes<kAscii>[c];
  if (e == 'u') return write_u_escape(out, c);
  out[0] = '\\';
  out[1] = e;
  return out + 2;
}

// One character from 0x80 up: \u escapes (a surrogate pair from U+10000 up) for ASCII output,
// else its UTF-8 bytes.
template <bool kAscii>
inline char* write_wide(char* out, char32_t c, EscapeState& state) {
  if constexpr (kAscii) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out = write_u_escape(out, 0xd800 | (c >> 10));
      return write_u_escape(out, 0xdc00 | (c & 0x3ff));
    }
    (void)state;
    return write_u_escape(out, c);
  } else {
    state.non_ascii = true;
    if (c >= 0xd800 && c <= 0xdfff) state.lone_surrogate = true;
    return write_utf8(out, c);
  }
}

// Characters of a one-byte (Latin-1) text that can be copied as is, up to the first that
// cannot: below 0x20, '"', '\\', and from 0x7f (ASCII output) or 0x80 (UTF-8 output) up.
// Eight at a time.
template <bool kAscii>
inline std::size_t plain_run(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t x;
      std::memcpy(&x, s + i, 8);
      // Each term marks a byte by its high bit; a borrow or carry can only mark bytes after
      // a truly marked one, so the lowest mark is exact.
      std::uint64_t control = (x - kOnes * 0x20) & ~x & kHigh;
      std::uint64_t q = x ^ (kOnes * '"');
      std::uint64_t quote = (q - kOnes) & ~q & kHigh;
      std::uint64_t b = x ^ (kOnes * '\\');
      std::uint64_t backslash = (b - kOnes) & ~b & kHigh;
      std::uint64_t high = x & kHigh;
      if constexpr (kAscii) high |= (x + kOnes) & kHigh;  // 0x7f
      std::uint64_t marks = control | quote | backslash | high;
      if (marks != 0) return i + static_cast<std::size_t>(std::countr_zero(marks) / 8);
    }
  }
  constexpr unsigned kLimit = kAscii ? 0x7f : 0x80;
  for (; i < n; ++i) {
    unsigned c = s[i];
    if (c < 0x20 || c == '"' || c == '\\' || c >= kLimit) return i;
  }
  return n;
}

}  // namespace detail

// The inside of a JSON string (no quotes) for n one-byte characters (code points U+0000-U+00FF),
// as json.dumps(..., ensure_ascii=kAscii) escapes them. Needs room for kMaxEscapedNarrow * n.
template <bool kAscii>
inline char* write_escaped(char* out, const unsigned char* s, std::size_t n, EscapeState& state) {
  const unsigned char* end = s + n;
  while (s < end) {
    std::size_t run = detail::plain_run<kAscii>(s, static_cast<std::size_t>(end - s));
    std::memcpy(out, s, run);
    out += run;
    s += run;
    if (s == end) break;
    unsigned c = *s++;
    out = c < 0x80 ? detail::write_ascii_escape<kAscii>(out, c)
                   : detail::write_wide<kAscii>(out, c, state);
  }
  return out;
}

// The same for n code points of two or four bytes each (a lone surrogate is a code point like
// any other). Needs room for kMaxEscapedWide * n.
template <bool kAscii, typename CharT>
  requires(sizeof(CharT) > 1)
inline char* write_escaped(char* out, const CharT* s, std::size_t n, EscapeState& state) {
  const CharT* end = s + n;
  while (s < end) {
    // A run of ASCII characters that need no escape, then one that does or a non-ASCII run.
    while (s < end && *s < 0x80 && detail::kEscapes<kAscii>[*s] == 0) {
      *out++ = static_cast<char>(*s++);
    }
    if (s == end) break;
    if (*s < 0x80) {
      out = detail::write_ascii_escape<kAscii>(out, static_cast<unsigned>(*s++));
      continue;
    }
    if constexpr (!kAscii) state.non_ascii = true;
    do {
      char32_t c = static_cast<char32_t>(*s++);
      if constexpr (kAscii) {
        out = detail::write_wide<true>(out, c, state);
      } else {
        if (c >= 0xd800 && c <= 0xdfff) state.lone_surrogate = true;
        out = write_utf8(out, c);
      }
    } while (s < end && *s >= 0x80);
  }
  return out;
}

}  // namespace mosswork::core::json
