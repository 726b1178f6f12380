// Python-compatible white-space trimming of UTF-8 text.
#include "core/documents/text_trim.h"

namespace mosswork::core::documents {
namespace {

bool is_space(char32_t c) {
  if (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) return true;
  switch (c) {
    case 0x85:
    case 0xa0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202f:
    case 0x205f:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200a;
  }
}

// Decodes the code point starting at `at`; returns its length, or 0 for a malformed sequence
// (which is never white space and so ends trimming).
std::size_t decode(std::string_view s, std::size_t at, char32_t& c) {
  auto b = static_cast<unsigned char>(s[at]);
  std::size_t length = b < 0x80           ? 1
                       : (b >> 5) == 0x06 ? 2
                       : (b >> 4) == 0x0e ? 3
                       : (b >> 3) == 0x1e ? 4
                                          : 0;
  if (length == 0 || at + length > s.size()) return 0;
  c = length == 1 ? b : length == 2 ? (b & 0x1f) : length == 3 ? (b & 0x0f) : (b & 0x07);
  for (std::size_t i = 1; i < length; ++i) {
    auto next = static_cast<unsigned char>(s[at + i]);
    if ((next & 0xc0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3f);
  }
  return length;
}

}  // namespace

std::string strip_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    std::size_t n = decode(text, begin, c);
    if (n == 0 || !is_space(c)) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80) --start;
    char32_t c;
    std::size_t n = decode(text, start, c);
    if (n != end - start || !is_space(c)) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace mosswork::core::documents
