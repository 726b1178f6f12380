// Float text exactly as Python's repr writes it, for JSON output.
#include "core/common/json_text.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

// The shortest round-trip digits of a double: Dragonbox, from fmt (header-only).
#include <fmt/format.h>

namespace mosswork::core::json {
namespace {

// Two decimal digits of each value below 100.
constexpr auto kDigitPairs = [] {
  std::array<std::array<char, 2>, 100> pairs{};
  for (int i = 0; i < 100; ++i)
    pairs[i] = {static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10)};
  return pairs;
}();

// The decimal digits of v below 10^8, right-aligned so that they end at end; returns where they
// start. 32-bit arithmetic: its divisions by constants are cheaper than 64-bit ones.
char* write_small_backwards(char* end, std::uint32_t v) {
  while (v >= 100) {
    end -= 2;
    std::memcpy(end, kDigitPairs[v % 100].data(), 2);
    v /= 100;
  }
  if (v >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs[v].data(), 2);
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

// The same for v below 10^17, as a double's shortest significand is: the low eight digits,
// always all eight, then the rest.
char* write_digits_backwards(char* end, std::uint64_t v) {
  if (v < 100000000) return write_small_backwards(end, static_cast<std::uint32_t>(v));
  auto low = static_cast<std::uint32_t>(v % 100000000);
  for (int i = 0; i < 4; ++i) {
    end -= 2;
    std::memcpy(end, kDigitPairs[low % 100].data(), 2);
    low /= 100;
  }
  return write_small_backwards(end, static_cast<std::uint32_t>(v / 100000000));
}

// The number of decimal digits of v (at least one).
int digit_count(std::uint64_t v) {
  static constexpr auto kPowers = [] {
    std::array<std::uint64_t, 20> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
  }();
  int guess = (64 - std::countl_zero(v | 1)) * 1233 >> 12;  // log10 from log2, maybe one short
  return guess + (v >= kPowers[static_cast<std::size_t>(guess)] ? 1 : 0);
}

// float.__repr__ for a finite value: the shortest digits that round-trip, the nearest to the
// value among them (what Python's dtoa gives; Dragonbox computes the same digits), in exponent
// form from 1e16 up and below 1e-4, otherwise positional with at least one digit after the point.
//
// Vectors are millions of these. The digits are written once, straight to where they belong
// (re-reading freshly written digits as a block stalls the store buffer), and the few fixed
// pieces are fixed-size copies; bytes written past the returned end are scratch.
char* write_finite_double(char* out, double value) {
  if (value == 0) {
    std::memcpy(out, std::signbit(value) ? "-0.0" : "0.0\0", 4);
    return out + (std::signbit(value) ? 4 : 3);
  }
  const auto decimal = fmt::detail::dragonbox::to_decimal(value);
  if (value < 0) *out++ = '-';
  const int count = digit_count(decimal.significand);  // 1 to 17
  const int point = count + decimal.exponent;          // digits before the decimal point
  if (point <= -4 || point > 16) {
    // d[.ddd]e±XX, the exponent of at least two digits, as repr writes it: "1e+16", "2.5e-05".
    char* p = out + 1;
    write_digits_backwards(p + count, decimal.significand);
    out[0] = out[1];
    if (count > 1) {
      out[1] = '.';
      p += count;
    }
    int exponent = point - 1;
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    if (exponent < 0) exponent = -exponent;
    if (exponent >= 100) {
      *p++ = static_cast<char>('0' + exponent / 100);
      exponent %= 100;
    }
    std::memcpy(p, kDigitPairs[static_cast<std::size_t>(exponent)].data(), 2);
    return p + 2;
  }
  if (point <= 0) {
    std::memcpy(out, "0.000000", 8);  // "0." and the -point zeros (at most three) that follow
    out += 2 - point;
    return write_digits_backwards(out + count, decimal.significand), out + count;
  }
  if (point >= count) {
    // An integer: its digits, the zeros to the point, ".0".
    out = write_digits_backwards(out + count, decimal.significand) + count;
    std::memcpy(out, "0000000000000000", 16);
    out += point - count;
    std::memcpy(out, ".0", 2);
    return out + 2;
  }
  // Digits on both sides of the point: written one place to the right, the integer part then
  // moved back over the first.
  write_digits_backwards(out + 1 + count, decimal.significand);
  for (int i = 0; i < point; ++i) out[i] = out[i + 1];
  out[point] = '.';
  return out + count + 1;
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
