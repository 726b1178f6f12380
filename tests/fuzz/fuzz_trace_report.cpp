// The trace report from observation records built out of the fuzz bytes: the rows and summary of
// build_report, the three figures as JSON, the flame-graph walk and the page write_report makes.
// What must hold, whatever the records hold (odd ids, parent links that loop, invalid UTF-8,
// extreme time stamps and numbers):
//   - build_report fails only as documented (no model call, no output parser);
//   - each figure is valid JSON (UTF-8 included) with no '<', '>', '&', U+2028 or U+2029 in its
//     text, so that it cannot end or break the script it sits in; ids and names in valid UTF-8
//     come back exactly, in id order in the timeline;
//   - the flame graph draws each id once, at its parent's depth plus one;
//   - the cell formatter cuts text into lines of the asked length on character boundaries and
//     rounds as Python's round(x, 3); time stamps are the UTC calendar time of the C library.
//
// Layout of an input (FuzzedDataProvider: texts from the front, numbers from the back): the trace
// id, the build version and date, then records while bytes remain, each an id, name, type, parent,
// start, end, latency, token count, model, input and output, picked or read as the code says.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/errors.h"
#include "core/trace/report.h"
#include "core/trace/report_parts.h"
#include "fuzz_support.h"

namespace trace = mosswork::core::trace;
using mosswork::fuzz::require;

namespace {

constexpr std::size_t kMaxRecords = 64;
// Time stamps near now, with an offset up to this many nanoseconds (about 20 minutes) either way.
constexpr std::int64_t kSpread = 1'200'000'000'000;
constexpr trace::Nanos kNow = 1'715'000'000'000'000'000;

// Names the report treats apart, and a few it does not.
const char* const kNames[] = {"ChatOpenAI",         "AzureChatOpenAI",      "vynStrOutputParser",
                              "create_vs_by_yaml",  "VectorStoreRetriever", "reranker",
                              "llm_confirm_intent", "multi_retrieve",       "embed_query",
                              "Retriever",          "retriever_binding",    "RunnableSequence"};
// Ids drawn from a few, so that parents match and links can loop.
const char* const kIds[] = {"root", "a", "b", "c", "d", "e", "\xe4\xb8\xad", ""};

std::string pick(FuzzedDataProvider& in, const char* const* list, std::size_t n) {
  return list[in.ConsumeIntegralInRange<std::size_t>(0, n - 1)];
}

trace::Number number(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return {static_cast<double>(in.ConsumeIntegralInRange(0, 5000)), true};
    case 1:
      return {in.ConsumeIntegralInRange(0, 100'000'000) / 1e6, false};
    case 2:
      return {std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()), false};
    default:
      return {static_cast<double>(in.ConsumeIntegral<std::int64_t>()), true};
  }
}

trace::Nanos stamp(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) return in.ConsumeIntegral<trace::Nanos>();
  return kNow + in.ConsumeIntegralInRange<std::int64_t>(-kSpread, kSpread);
}

trace::Observation record(FuzzedDataProvider& in) {
  trace::Observation o;
  o.id = in.ConsumeBool() ? pick(in, kIds, std::size(kIds)) : in.ConsumeRandomLengthString(24);
  o.name = in.ConsumeIntegralInRange(0, 3) != 0 ? pick(in, kNames, std::size(kNames))
                                                : in.ConsumeRandomLengthString(40);
  o.type = in.ConsumeBool() ? "GENERATION" : "SPAN";
  if (in.ConsumeBool()) o.parent_id = pick(in, kIds, std::size(kIds));
  o.start_time = stamp(in);
  if (in.ConsumeBool()) {
    const std::int64_t took = in.ConsumeIntegralInRange<std::int64_t>(0, kSpread);
    if (__builtin_add_overflow(o.start_time, took, &o.end_time)) o.end_time = INT64_MAX;
  } else {
    o.end_time = stamp(in);
  }
  o.latency = number(in);
  if (in.ConsumeBool()) o.completion_tokens = number(in);
  if (in.ConsumeBool()) o.model = in.ConsumeRandomLengthString(24);
  o.input_text = in.ConsumeRandomLengthString(200);
  o.output_text = in.ConsumeRandomLengthString(200);
  return o;
}

// Valid UTF-8 without surrogates, as a Python str encodes.
bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    if (len == 0 || c >= 0xf5 || i + len > s.size()) return false;
    char32_t v = len == 1 ? c : c & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xc0) != 0x80) return false;
      v = (v << 6) | (b & 0x3f);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kLeast[len] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

// Parses a figure and checks that its text is safe inside a <script> element.
nlohmann::json parse_figure(const std::string& text, const char* which) {
  require(text.find_first_of("<>&") == std::string::npos, "no '<', '>' or '&' in figure JSON",
          which);
  require(text.find("\xe2\x80\xa8") == std::string::npos &&
              text.find("\xe2\x80\xa9") == std::string::npos,
          "no U+2028 or U+2029 in figure JSON", which);
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    require(false, "figure JSON parses", std::string(which) + ": " + e.what());
  }
  return {};
}

void require_text(const nlohmann::json& value, const std::string& expected, const char* property) {
  require(value.is_string(), property, value.dump());
  if (valid_utf8(expected)) require(value.get<std::string>() == expected, property, expected);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The same time stamp through gmtime_r.
void check_timestamp(trace::Nanos value) {
  const std::int64_t seconds = floor_div(value, 1'000'000'000);
  std::int64_t nanos = value % 1'000'000'000;
  if (nanos < 0) nanos += 1'000'000'000;
  const std::int64_t micros = nanos / 1000;
  const time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  require(gmtime_r(&t, &tm) != nullptr, "gmtime_r takes every time stamp");
  char text[64];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string expected(text, static_cast<std::size_t>(n));
  if (micros != 0) {
    std::snprintf(text, sizeof text, ".%06" PRId64, micros);
    expected += text;
  }
  expected += "+00:00";
  require(trace::iso_timestamp(value) == expected, "ISO time stamps are gmtime's", expected);
}

// Lines of exactly `length` characters joined by "<br>", the last one shorter or as long.
void check_cut(std::string text, std::size_t length) {
  for (char& c : text) {
    if (c == '<') c = '(';  // so that every "<br>" in the result is one the cut put there
  }
  const std::string cut = trace::cut_lines(text, length);
  std::string joined;
  std::size_t from = 0;
  for (;;) {
    const std::size_t br = cut.find("<br>", from);
    const std::string_view line = std::string_view(cut).substr(from, br - from);
    std::size_t chars = 0;
    for (char c : line) chars += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    const bool last = br == std::string::npos;
    require(last ? chars <= length || text.size() <= length : chars == length,
            "lines of the asked length", cut);
    require(from == 0 || line.empty() || (static_cast<unsigned char>(line[0]) & 0xc0) != 0x80,
            "lines start at a character", cut);
    joined += line;
    if (last) break;
    from = br + 4;
  }
  require(joined == text, "the lines hold the text", cut);
}

// round(x, 3) through the C library's correctly rounded printing.
void check_round3(double value) {
  if (!std::isfinite(value)) return;
  std::vector<char> text(400);
  std::snprintf(text.data(), text.size(), "%.3f", value);
  const double expected = std::strtod(text.data(), nullptr);
  const double got = trace::round3(value);
  require(std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(expected),
          "round3 is round(x, 3)", text.data());
}

void check_flame(const trace::Report& report, const std::vector<trace::FlameEntry>& entries) {
  std::set<std::string_view> drawn;
  std::map<std::string_view, std::size_t> level_of;
  // Every parent each id is given by some row.
  std::multimap<std::string_view, std::string_view> parents;
  for (const trace::Row& row : report.rows) {
    if (row.parent_id) parents.emplace(row.id, *row.parent_id);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const trace::FlameEntry& e = entries[i];
    require(drawn.insert(e.row->id).second, "each id drawn once", e.row->id);
    if (i == 0) {
      require(e.row->id == report.root_id && e.level == 0, "the walk starts at the root");
    } else {
      bool under_parent = false;
      auto [first, last] = parents.equal_range(e.row->id);
      for (auto it = first; it != last && !under_parent; ++it) {
        auto parent = level_of.find(it->second);
        under_parent = parent != level_of.end() && parent->second + 1 == e.level;
      }
      require(under_parent, "an entry sits one level below a parent drawn before it", e.row->id);
    }
    level_of.emplace(e.row->id, e.level);
  }
}

void check_report(const trace::Report& report, const std::vector<trace::Observation>& records) {
  require(report.rows.size() == records.size(), "a row per record");
  for (std::size_t i = 0; i < report.rows.size(); ++i) {
    const trace::Row& row = report.rows[i];
    require(row.id == records[records.size() - 1 - i].id && row.no == i,
            "rows in reverse collection order, numbered");
  }
  require(report.rows.front().time_offset == 0, "the first row starts at zero");

  trace::JsonSink summary;
  trace::write_summary_figure(summary, report);
  parse_figure(summary.text(), "summary");

  trace::JsonSink timeline;
  trace::write_timeline_figure(timeline, report.rows);
  const nlohmann::json t = parse_figure(timeline.text(), "timeline");
  require(t["data"].size() == report.rows.size(), "a timeline trace per row");
  std::string previous;  // ids in valid UTF-8 read back as they are, so their order shows
  for (const nlohmann::json& trace_json : t["data"]) {
    const nlohmann::json& meta = trace_json["meta"];
    require(meta.is_array() && meta.size() == 5, "timeline meta has five values");
    const trace::Row& row = report.rows[static_cast<std::size_t>(trace_json["x"][0].get<long>())];
    require_text(meta[0], row.id, "the timeline shows the row's id");
    require_text(meta[1], row.name, "the timeline shows the row's name");
    if (valid_utf8(row.id)) {
      const std::string id = meta[0].get<std::string>();
      require(previous <= id, "the timeline goes in id order", id);
      previous = id;
    }
  }

  std::vector<trace::FlameEntry> entries;
  try {
    entries = trace::flame_entries(report.rows, report.root_id);
  } catch (const mosswork::core::InvalidArgument&) {
    require(false, "the root row is always found");
  }
  check_flame(report, entries);
  trace::JsonSink flame;
  trace::write_flame_figure(flame, entries, [] { return 0.5; });
  const nlohmann::json f = parse_figure(flame.text(), "flame");
  require(f["data"].size() == entries.size(), "a flame bar per entry");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    require_text(f["data"][i]["name"], entries[i].row->name, "the flame graph shows the name");
  }
}

// The whole page into an in-memory file: the figures' script elements close where they should.
void check_page(const trace::Report& report) {
  static constexpr char kPlotly[] =
      "/* plotly stand-in */ window.Plotly = {newPlot: function () {}};\n";
  static const mosswork::fuzz::MemFile plotly(reinterpret_cast<const std::uint8_t*>(kPlotly),
                                              sizeof kPlotly - 1);
  mosswork::fuzz::MemFile page(nullptr, 0);
  trace::write_report(page.path(), report, plotly.path());
  std::string html;
  if (FILE* in = std::fopen(page.path().c_str(), "rb")) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) html.append(buf, n);
    std::fclose(in);
  }
  auto count = [&](std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = html.find(what); at != std::string::npos; at = html.find(what, at + 1)) {
      ++n;
    }
    return n;
  };
  require(html.starts_with("<!doctype html>") && html.ends_with("</html>\n"), "a whole page");
  // The configuration, the library and the three figures.
  require(count("<script>") == 5 && count("</script>") == 5, "five script elements, all closed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string trace_id = in.ConsumeRandomLengthString(64);
  std::vector<trace::Observation> records;
  const std::string version = in.ConsumeRandomLengthString(16);
  const std::string date = in.ConsumeRandomLengthString(16);
  const trace::Number retrieval = number(in);
  while (in.remaining_bytes() > 0 && records.size() < kMaxRecords) records.push_back(record(in));

  for (const trace::Observation& o : records) {
    check_timestamp(o.start_time);
    check_cut(o.output_text, 1 + static_cast<std::size_t>(o.start_time & 31));
    check_round3(o.latency.value);
  }
  check_round3(retrieval.value);

  bool generation = false;
  bool parser = false;
  for (const trace::Observation& o : records) {
    generation = generation || o.type == "GENERATION";
    parser = parser || o.name == "vynStrOutputParser";
  }
  trace::Report report;
  try {
    report = trace::build_report(trace_id, records, retrieval);
  } catch (const mosswork::core::InvalidArgument&) {
    require(!generation || !parser, "a trace with a model call and the parser builds");
    return 0;
  }
  require(generation && parser, "a trace without a model call or the parser is refused");
  mosswork::fuzz::show("report of rows", std::to_string(report.rows.size()));
  report.build_version = version;
  report.build_date = date;
  check_report(report, records);
  check_page(report);
  return 0;
}
