// YAML documents read the way a safe loader reads them (see yaml_value.h).
#include "core/plugins/yaml_value.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <limits>
#include <regex>
#include <sstream>

#include "core/common/errors.h"

namespace mosswork::core::plugins {
namespace {

constexpr const char* kTagPrefix = "tag:yaml.org,2002:";

// The implicit resolvers of YAML 1.1, as the usual safe loaders apply them to plain scalars.
const std::regex& bool_pattern() {
  static const std::regex re(
      "yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF");
  return re;
}
const std::regex& float_pattern() {
  static const std::regex re(
      "[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?"
      "|\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?"
      "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*"
      "|[-+]?\\.(?:inf|Inf|INF)"
      "|\\.(?:nan|NaN|NAN)");
  return re;
}
const std::regex& int_pattern() {
  static const std::regex re(
      "[-+]?0b[0-1_]+"
      "|[-+]?0[0-7_]+"
      "|[-+]?(?:0|[1-9][0-9_]*)"
      "|[-+]?0x[0-9a-fA-F_]+"
      "|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+");
  return re;
}
const std::regex& null_pattern() {
  static const std::regex re("~|null|Null|NULL|");
  return re;
}
const std::regex& timestamp_pattern() {
  static const std::regex re(
      "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]"
      "|[0-9][0-9][0-9][0-9]-[0-9][0-9]?-[0-9][0-9]?(?:[Tt]|[ "
      "\\t]+)[0-9][0-9]?:[0-9][0-9]:[0-9][0-9]"
      "(?:\\.[0-9]*)?(?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?");
  return re;
}
const std::regex& timestamp_fields() {
  static const std::regex re(
      "([0-9]{4})-([0-9][0-9]?)-([0-9][0-9]?)"
      "(?:(?:[Tt]|[ \\t]+)([0-9][0-9]?):([0-9][0-9]):([0-9][0-9])(?:\\.([0-9]*))?"
      "(?:[ \\t]*(Z|([-+])([0-9][0-9]?)(?::([0-9][0-9]))?))?)?");
  return re;
}

std::string without_underscores(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != '_') out += c;
  return out;
}

[[noreturn]] void fail(const YAML::Node& node, const std::string& what) {
  const YAML::Mark mark = node.Mark();
  std::string where;
  if (!mark.is_null()) {
    where = " (line " + std::to_string(mark.line + 1) + ", column " +
            std::to_string(mark.column + 1) + ")";
  }
  throw ParseError(what + where);
}

YamlValue make_null() { return YamlValue{}; }

YamlValue make_text(std::string s) {
  YamlValue v;
  v.kind = YamlValue::Kind::kText;
  v.text = std::move(s);
  return v;
}

YamlValue make_bool(const YAML::Node& node, const std::string& s) {
  std::string lower;
  for (char c : s) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  YamlValue v;
  v.kind = YamlValue::Kind::kBool;
  if (lower == "yes" || lower == "true" || lower == "on") {
    v.boolean = true;
  } else if (lower == "no" || lower == "false" || lower == "off") {
    v.boolean = false;
  } else {
    fail(node, "not a boolean: '" + s + "'");
  }
  return v;
}

bool all_digits_of(const std::string& s, int base) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                               : (c >= '0' && c < static_cast<char>('0' + base));
    if (!ok) return false;
  }
  return true;
}

YamlValue make_int(const YAML::Node& node, const std::string& raw) {
  std::string s = without_underscores(raw);
  YamlValue v;
  v.kind = YamlValue::Kind::kInt;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    v.negative = s[0] == '-';
    s.erase(0, 1);
  }
  if (s == "0") {
    v.digits = "0";
  } else if (s.rfind("0b", 0) == 0) {
    v.digits = s.substr(2), v.base = 2;
  } else if (s.rfind("0x", 0) == 0) {
    v.digits = s.substr(2), v.base = 16;
  } else if (!s.empty() && s[0] == '0') {
    v.digits = s, v.base = 8;
  } else if (s.find(':') != std::string::npos) {
    // Base 60: 1:30 is 90.
    unsigned long long total = 0;
    std::size_t start = 0;
    while (start <= s.size()) {
      const std::size_t end = std::min(s.find(':', start), s.size());
      const std::string part = s.substr(start, end - start);
      if (!all_digits_of(part, 10)) fail(node, "not an integer: '" + raw + "'");
      const unsigned long long digit = std::stoull(part);
      if (total > (std::numeric_limits<unsigned long long>::max() - digit) / 60) {
        fail(node, "integer out of range: '" + raw + "'");
      }
      total = total * 60 + digit;
      start = end + 1;
    }
    v.digits = std::to_string(total);
  } else {
    v.digits = s;
  }
  if (!all_digits_of(v.digits, v.base)) fail(node, "not an integer: '" + raw + "'");
  return v;
}

YamlValue make_float(const YAML::Node& node, const std::string& raw) {
  std::string s = without_underscores(raw);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  double sign = 1;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    if (s[0] == '-') sign = -1;
    s.erase(0, 1);
  }
  YamlValue v;
  v.kind = YamlValue::Kind::kFloat;
  if (s == ".inf") {
    v.number = sign * std::numeric_limits<double>::infinity();
  } else if (s == ".nan") {
    v.number = std::numeric_limits<double>::quiet_NaN();
  } else if (s.find(':') != std::string::npos) {
    double total = 0;
    std::size_t start = 0;
    while (start <= s.size()) {
      const std::size_t end = std::min(s.find(':', start), s.size());
      total = total * 60 + std::strtod(s.substr(start, end - start).c_str(), nullptr);
      start = end + 1;
    }
    v.number = sign * total;
  } else {
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size()) fail(node, "not a float: '" + raw + "'");
    v.number = sign * d;
  }
  return v;
}

YamlValue make_timestamp(const YAML::Node& node, const std::string& s) {
  std::smatch m;
  if (!std::regex_match(s, m, timestamp_fields())) fail(node, "not a timestamp: '" + s + "'");
  YamlValue v;
  v.kind = YamlValue::Kind::kTimestamp;
  Timestamp& t = v.timestamp;
  t.year = std::stoi(m[1]);
  t.month = std::stoi(m[2]);
  t.day = std::stoi(m[3]);
  if (m[4].matched) {
    t.has_time = true;
    t.hour = std::stoi(m[4]);
    t.minute = std::stoi(m[5]);
    t.second = std::stoi(m[6]);
    if (m[7].matched && m[7].length() > 0) {
      std::string fraction = m[7].str().substr(0, 6);
      fraction.resize(6, '0');
      t.microsecond = std::stoi(fraction);
    }
    if (m[8].matched) {
      t.has_offset = true;
      if (m[9].matched) {
        const int minutes = std::stoi(m[10]) * 60 + (m[11].matched ? std::stoi(m[11]) : 0);
        t.offset_minutes = m[9] == "-" ? -minutes : minutes;
      }
    }
  }
  return v;
}

// A plain scalar, resolved by its look.
YamlValue resolve_plain(const YAML::Node& node, const std::string& s) {
  if (std::regex_match(s, bool_pattern())) return make_bool(node, s);
  if (std::regex_match(s, float_pattern())) return make_float(node, s);
  if (std::regex_match(s, int_pattern())) return make_int(node, s);
  if (std::regex_match(s, null_pattern())) return make_null();
  if (std::regex_match(s, timestamp_pattern())) return make_timestamp(node, s);
  return make_text(s);
}

// Python-style key identity: 1, 1.0 and true are one key; text keys compare by their bytes.
std::string key_identity(const YamlValue& key) {
  using K = YamlValue::Kind;
  switch (key.kind) {
    case K::kNull:
      return "null";
    case K::kBool:
      return key.boolean ? "n:1" : "n:0";
    case K::kInt: {
      std::string digits = key.digits;
      digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
      if (key.base == 10) {
        return (key.negative && digits != "0" ? "n:-" : "n:") + digits;
      }
      if (digits.size() * (key.base == 16 ? 4 : key.base == 8 ? 3 : 1) <= 63) {
        const long long n = std::stoll(digits, nullptr, key.base);
        return "n:" + std::to_string(key.negative ? -n : n);
      }
      return "i:" + std::string(key.negative ? "-" : "") + std::to_string(key.base) + ":" + digits;
    }
    case K::kFloat:
      if (std::isfinite(key.number) && key.number == std::trunc(key.number) &&
          std::fabs(key.number) < 9.2e18) {
        return "n:" + std::to_string(static_cast<long long>(key.number));
      }
      return "f:" + std::to_string(key.number);
    case K::kText:
      return "s:" + key.text;
    case K::kTimestamp: {
      const Timestamp& t = key.timestamp;
      return "t:" + std::to_string(t.year) + "-" + std::to_string(t.month) + "-" +
             std::to_string(t.day) +
             (t.has_time ? "T" + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
                               std::to_string(t.second) + "." + std::to_string(t.microsecond)
                         : "") +
             (t.has_offset ? "@" + std::to_string(t.offset_minutes) : "");
    }
    case K::kList:
    case K::kMap:
      break;
  }
  return {};
}

class Converter {
 public:
  explicit Converter(const YamlOptions& options) : options_(options) {}

  YamlValue convert(const YAML::Node& node, std::size_t depth) {
    if (depth > options_.max_depth)
      fail(node, "document nested deeper than " + std::to_string(options_.max_depth) + " levels");
    if (++values_ > options_.max_values) {
      fail(node,
           "document expands to more than " + std::to_string(options_.max_values) + " values");
    }
    const std::string tag = node.Tag();
    switch (node.Type()) {
      case YAML::NodeType::Undefined:
      case YAML::NodeType::Null:
        return scalar(node, tag, node.Type() == YAML::NodeType::Null ? node.Scalar() : "");
      case YAML::NodeType::Scalar:
        return scalar(node, tag, node.Scalar());
      case YAML::NodeType::Sequence:
        if (tag != "?" && tag != "!" && tag != std::string(kTagPrefix) + "seq")
          unknown_tag(node, tag);
        return sequence(node, depth);
      case YAML::NodeType::Map:
        if (tag != "?" && tag != "!" && tag != std::string(kTagPrefix) + "map")
          unknown_tag(node, tag);
        return mapping(node, depth);
    }
    fail(node, "unknown YAML node");
  }

 private:
  [[noreturn]] static void unknown_tag(const YAML::Node& node, const std::string& tag) {
    fail(node, "could not determine a constructor for the tag '" + tag + "'");
  }

  YamlValue scalar(const YAML::Node& node, const std::string& tag, const std::string& s) {
    if (tag == "?" || tag.empty()) return resolve_plain(node, s);
    if (tag == "!") return make_text(s);  // quoted
    const std::string prefix = kTagPrefix;
    if (tag.rfind(prefix, 0) == 0) {
      const std::string name = tag.substr(prefix.size());
      if (name == "str") return make_text(s);
      if (name == "null") return make_null();
      if (name == "bool") return make_bool(node, s);
      if (name == "int") return make_int(node, s);
      if (name == "float") return make_float(node, s);
      if (name == "timestamp") return make_timestamp(node, s);
    }
    unknown_tag(node, tag);
  }

  YamlValue sequence(const YAML::Node& node, std::size_t depth) {
    YamlValue v;
    v.kind = YamlValue::Kind::kList;
    v.items.reserve(node.size());
    for (const auto& item : node) v.items.push_back(convert(item, depth + 1));
    return v;
  }

  static void put(YamlValue& map, std::vector<std::string>& ids, YamlValue key, YamlValue value) {
    std::string id = key_identity(key);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) {
        map.entries[i].second = std::move(value);  // a repeated key keeps its place, last wins
        return;
      }
    }
    ids.push_back(std::move(id));
    map.entries.push_back({std::move(key), std::move(value)});
  }

  YamlValue mapping(const YAML::Node& node, std::size_t depth) {
    YamlValue v;
    v.kind = YamlValue::Kind::kMap;
    std::vector<std::string> ids;
    std::vector<YamlEntry> merged, own;
    for (const auto& pair : node) {
      const YAML::Node& key = pair.first;
      if (key.IsScalar() && key.Tag() == "?" && key.Scalar() == "<<") {
        // Merge keys: the merged maps' entries come first and the map's own keys override
        // them; of several merged maps the earlier one wins.
        const YAML::Node& source = pair.second;
        if (source.IsMap()) {
          YamlValue m = convert(source, depth + 1);
          for (auto& e : m.entries) merged.push_back(std::move(e));
        } else if (source.IsSequence()) {
          std::vector<YamlValue> maps;
          for (const auto& sub : source) {
            if (!sub.IsMap()) fail(sub, "expected a mapping for merging");
            maps.push_back(convert(sub, depth + 1));
          }
          for (auto it = maps.rbegin(); it != maps.rend(); ++it) {
            for (auto& e : it->entries) merged.push_back(std::move(e));
          }
        } else {
          fail(source, "expected a mapping or list of mappings for merging");
        }
        continue;
      }
      YamlValue k = convert(key, depth + 1);
      if (k.kind == YamlValue::Kind::kList || k.kind == YamlValue::Kind::kMap) {
        fail(key, "found unhashable key");
      }
      own.push_back({std::move(k), convert(pair.second, depth + 1)});
    }
    for (auto& e : merged) put(v, ids, std::move(e.first), std::move(e.second));
    for (auto& e : own) put(v, ids, std::move(e.first), std::move(e.second));
    return v;
  }

  const YamlOptions& options_;
  std::size_t values_ = 0;
};

// Takes a document's events and keeps nothing.
class DocumentCounter : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}
};

}  // namespace

YamlValue parse_yaml(std::string_view text, const YamlOptions& options) {
  std::string stream(text);
  YAML::Node document;
  try {
    // Documents are counted before one is built, and counting stops at the second: yaml-cpp 0.7's
    // LoadAll loops for ever, allocating, on some malformed streams (it keeps reporting another
    // empty document), and one short line of YAML would take the process down.
    std::istringstream in(stream);
    YAML::Parser parser(in);
    DocumentCounter counter;
    int documents = 0;
    while (documents < 2 && parser.HandleNextDocument(counter)) ++documents;
    if (documents == 0) return make_null();
    if (documents > 1) {
      throw ParseError("expected a single document in the stream, but found another document");
    }
    document = YAML::Load(stream);
  } catch (const YAML::Exception& e) {
    throw ParseError(e.what());
  }
  try {
    return Converter(options).convert(document, 0);
  } catch (const YAML::Exception& e) {
    throw ParseError(e.what());
  }
}

}  // namespace mosswork::core::plugins
