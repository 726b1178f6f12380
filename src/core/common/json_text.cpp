// Float text exactly as Python's repr writes it, for JSON output.
#include "core/common/json_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace mosswork::core::json {
namespace {

// float.__repr__ for a finite value: the shortest digits that round-trip (to_chars and repr
// both pick the nearest of the shortest candidates), in exponent form from 1e16 up and below
// 1e-4, otherwise positional with at least one digit after the point.
char* write_finite_double(char* out, double value) {
  char sci[kMaxDoubleText];
  auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  (void)ec;  // the buffer always fits a double
  const char* s = sci;
  if (*s == '-') *out++ = *s++;
  const char* mantissa = s;
  // to_chars writes d[.ddd]e±XX: the digits are the first one and those after the point.
  const char* e =
      static_cast<const char*>(std::memchr(s, 'e', static_cast<std::size_t>(sci_end - s)));
  char digits[20];
  digits[0] = *s;
  int count = 1;
  if (e - s > 1) {
    std::memcpy(digits + 1, s + 2, static_cast<std::size_t>(e - s - 2));
    count = static_cast<int>(e - s - 1);
  }
  int exponent = 0;
  for (const char* d = e + 2; d < sci_end; ++d) exponent = exponent * 10 + (*d - '0');
  if (e[1] == '-') exponent = -exponent;
  int point = exponent + 1;  // digits before the decimal point
  if (point <= -4 || point > 16) {
    // to_chars writes the exponent form exactly as repr does: "1e+16", "2.5e-05".
    std::size_t n = static_cast<std::size_t>(sci_end - mantissa);
    std::memcpy(out, mantissa, n);
    return out + n;
  }
  if (point <= 0) {
    *out++ = '0';
    *out++ = '.';
    for (int i = 0; i < -point; ++i) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    return out + count;
  }
  if (point >= count) {
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    out += count;
    for (int i = count; i < point; ++i) *out++ = '0';
    *out++ = '.';
    *out++ = '0';
    return out;
  }
  std::memcpy(out, digits, static_cast<std::size_t>(point));
  out += point;
  *out++ = '.';
  std::memcpy(out, digits + point, static_cast<std::size_t>(count - point));
  return out + (count - point);
}

}  // namespace

char* write_double(char* out, double value) {
  if (std::isfinite(value)) return write_finite_double(out, value);
  const char* text = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
  std::size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

}  // namespace mosswork::core::json
