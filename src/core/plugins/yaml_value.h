// YAML documents read the way a safe loader reads them: plain scalars resolved by the YAML 1.1
// rules (null, booleans, integers in every base, floats, timestamps), quoted scalars as text,
// merge keys applied, and nothing that could build an arbitrary object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mosswork::core::plugins {

// A calendar date, with a time of day and an offset when the scalar had them.
struct Timestamp {
  int year = 0, month = 0, day = 0;
  bool has_time = false;
  int hour = 0, minute = 0, second = 0, microsecond = 0;
  bool has_offset = false;
  int offset_minutes = 0;  // east of UTC
};

struct YamlEntry;

struct YamlValue {
  enum class Kind { kNull, kBool, kInt, kFloat, kText, kTimestamp, kList, kMap };
  Kind kind = Kind::kNull;
  bool boolean = false;
  // kInt: the digits without sign or separators, in `base` (2, 8, 10 or 16); a sexagesimal
  // integer arrives already converted to decimal.
  std::string digits;
  int base = 10;
  bool negative = false;
  double number = 0;  // kFloat
  std::string text;   // kText
  Timestamp timestamp;
  std::vector<YamlValue> items;    // kList
  std::vector<YamlEntry> entries;  // kMap, keys unique, in first-seen order
};

// A map entry. A struct rather than std::pair: a pair of a type still being defined cannot be
// named in that type with every standard library.
struct YamlEntry {
  YamlValue first;
  YamlValue second;
};

struct YamlOptions {
  // Deepest nesting accepted (aliases included); deeper documents are refused.
  std::size_t max_depth = 256;
  // Most values one document may expand to once aliases are followed.
  std::size_t max_values = 1'000'000;
};

// Parses a stream holding at most one document; an empty stream is null. Malformed YAML, a
// second document, an unknown tag or a document over the limits throws ParseError.
YamlValue parse_yaml(std::string_view text, const YamlOptions& options = {});

}  // namespace mosswork::core::plugins
