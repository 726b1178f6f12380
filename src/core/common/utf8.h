// UTF-8 encoding of single code points, shared by the text extractors and the JSON codec.
#pragma once

#include <cstddef>
#include <string>

namespace mosswork::core {

// At most this many bytes encode one code point.
inline constexpr std::size_t kMaxUtf8Bytes = 4;

// Writes code point `c` as UTF-8 at `out` (room for kMaxUtf8Bytes) and returns the end.
// Surrogates (U+D800-U+DFFF) get their three-byte form, as Python's "surrogatepass" writes them;
// callers that must not emit them check first.
inline char* write_utf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xc0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xe0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else {
    *out++ = static_cast<char>(0xf0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  }
  return out;
}

// Appends code point `c` to `out` as UTF-8, as write_utf8 writes it.
inline void append_utf8(std::string& out, char32_t c) {
  char bytes[kMaxUtf8Bytes];
  out.append(bytes, static_cast<std::size_t>(write_utf8(bytes, c) - bytes));
}

}  // namespace mosswork::core
