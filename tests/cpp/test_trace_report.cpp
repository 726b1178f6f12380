// The trace report: cell formatter, label placement, flame-graph walk, figure JSON and the page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/errors.h"
#include "core/trace/report.h"
#include "core/trace/report_parts.h"

namespace trace = mosswork::core::trace;
using nlohmann::json;
using trace::Cell;
using trace::Number;

namespace {

// A row of the observation table; time offsets and latencies in seconds.
trace::Row row(std::string id, std::string name, std::optional<std::string> parent, double offset,
               double latency, std::size_t no) {
  trace::Row r;
  r.id = std::move(id);
  r.name = std::move(name);
  r.parent_id = std::move(parent);
  r.time_offset = offset;
  r.latency = Number{latency, false};
  r.no = no;
  return r;
}

json figure_json(const std::function<void(trace::JsonSink&)>& write) {
  trace::JsonSink sink;
  write(sink);
  return json::parse(sink.text());
}

constexpr double kWidths[] = {0.4, 0.25, 0.15, 0.2};

struct CellCase {
  const char* label;
  Cell in;
  std::size_t position;  // column of kWidths
  Cell out;
};

std::string repeat(std::string_view piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

const CellCase kCells[] = {
    {"95 characters in width 0.4", repeat("a", 95), 0,
     repeat("a", 40) + "<br>" + repeat("a", 40) + "<br>" + repeat("a", 15)},
    {"no longer than the line", repeat("b", 40), 0, repeat("b", 40)},
    {"empty text", std::string(), 0, std::string()},
    {"non-ASCII counted in characters", repeat("检", 16), 2, repeat("检", 15) + "<br>" + "检"},
    {"float rounded to 3 decimals", Number{1.23456, false}, 1, Number{1.235, false}},
    {"integer kept", Number{0, true}, 1, Number{0, true}},
    {"exact float kept", trace::Exact{1.23456}, 1, trace::Exact{1.23456}},
    {"null kept", nullptr, 3, nullptr},
};

class CellFormatter : public testing::TestWithParam<CellCase> {};

TEST_P(CellFormatter, FormatsByColumnWidth) {
  const CellCase& c = GetParam();
  std::vector<Cell> cells(4, nullptr);
  cells[c.position] = c.in;
  trace::add_br(cells, kWidths);
  trace::JsonSink got, want;
  got.cell(cells[c.position]);
  want.cell(c.out);
  EXPECT_EQ(got.text(), want.text());
}

INSTANTIATE_TEST_SUITE_P(Cases, CellFormatter, testing::ValuesIn(kCells), [](const auto& info) {
  std::string name;
  for (char ch : std::string(info.param.label)) {
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  }
  return name;
});

TEST(CellFormatter, ColumnsTakeTheirOwnWidthAndNoWidthsMeanTen) {
  std::vector<trace::Column> columns{{std::string(12, 'x')}, {std::string(12, 'y')}};
  constexpr double widths[] = {0.07, 0.26};
  trace::add_br(columns, widths);
  EXPECT_EQ(std::get<std::string>(columns[0][0]), "xxxxxxx<br>xxxxx");
  EXPECT_EQ(std::get<std::string>(columns[1][0]), std::string(12, 'y'));
  std::vector<Cell> flat{std::string(12, 'z')};
  trace::add_br(flat);
  EXPECT_EQ(std::get<std::string>(flat[0]), "zzzzzzzzzz<br>zz");
}

TEST(Timestamp, IsoTextAtMicroseconds) {
  // 2024-05-01T10:00:00Z is 1714557600 s.
  const trace::Nanos base = 1714557600LL * 1000000000LL;
  EXPECT_EQ(trace::iso_timestamp(base + 123456789), "2024-05-01T10:00:00.123456+00:00");
  EXPECT_EQ(trace::iso_timestamp(base + 999), "2024-05-01T10:00:00+00:00");
  EXPECT_EQ(trace::iso_timestamp(-1000), "1969-12-31T23:59:59.999999+00:00");
}

TEST(LabelPlacement, EachCallTakesTheWidestFreeGap) {
  std::vector<double> used;
  for (double want : {0.5, 0.25, 0.75, 0.125, 0.375}) {
    double got = trace::find_largest_section_center(used);
    EXPECT_DOUBLE_EQ(got, want);
    used.push_back(got);
  }
  EXPECT_EQ(trace::find_largest_section_center({0, 1}), 0.5);
  EXPECT_EQ(trace::largest_gap_center_sorted(std::vector<double>{1, 1}), 0);
}

TEST(Timeline, ThirdChatOpenAILabelSitsAtThreeQuartersAndTicksEveryFifthRow) {
  std::vector<trace::Row> rows;
  for (std::size_t i = 0; i < 12; ++i) {
    std::string name = i % 4 == 1 ? "ChatOpenAI" : "step";
    rows.push_back(row("id" + std::to_string(10 + i), name, std::nullopt, 0.5 * i, 2.0, i));
  }
  json fig = figure_json([&](auto& out) { trace::write_timeline_figure(out, rows); });
  EXPECT_EQ(fig["layout"]["xaxis"]["tickvals"], json({0, 5, 10}));
  EXPECT_EQ(fig["layout"]["xaxis"]["ticktext"], json({0.0, 2.5, 5.0}));
  const json& labels = fig["layout"]["annotations"];
  ASSERT_EQ(labels.size(), 3u);
  // Rows 1, 5, 9: heights 0.5, 0.25, 0.75 of their segments.
  EXPECT_DOUBLE_EQ(labels[2]["y"].get<double>(), 4.5 + 2.0 * 0.75);
  EXPECT_DOUBLE_EQ(labels[2]["x"].get<double>(), 9.02);
  EXPECT_EQ(labels[2]["text"], "ChatOpenAI");
  ASSERT_EQ(fig["data"].size(), 12u);
  EXPECT_EQ(fig["data"][1]["meta"], json({"id11", "ChatOpenAI", 2.0, 0.5, 2.5}));
  EXPECT_DOUBLE_EQ(fig["data"][1]["y"][1].get<double>(), 2.51);
}

TEST(Timeline, VisitsRowsInIdOrder) {
  std::vector<trace::Row> rows{row("b", "x", std::nullopt, 0, 1, 0),
                               row("a", "y", std::nullopt, 1, 1, 1)};
  json fig = figure_json([&](auto& out) { trace::write_timeline_figure(out, rows); });
  EXPECT_EQ(fig["data"][0]["meta"][0], "a");
  EXPECT_EQ(fig["data"][0]["x"], json({1, 1}));
}

trace::Report small_report() {
  trace::Report report;
  report.rows = {row("root", "chain", std::nullopt, 0, 3, 0),
                 row("child", "ChatOpenAI", "root", 0.5, 2, 1),
                 row("grandchild", "vynStrOutputParser", "child", 1, 0.25, 2),
                 row("other", "loose", std::nullopt, 4, 1, 3)};
  report.root_id = "root";
  report.summary.trace_id = "trace-1";
  report.summary.duration = 5.00049;
  report.summary.time_to_first_token = 1.0000001;
  return report;
}

TEST(Summary, TablesAndLabels) {
  trace::Report report = small_report();
  report.summary.retrieval_steps = {{"reranker", Number{1.23456, false}, 0.25}};
  trace::ModelCall call;
  call.process = "ChatOpenAI";
  call.duration = Number{0, true};
  call.output = "hi";
  report.summary.model_calls = {call};
  json fig = figure_json([&](auto& out) { trace::write_summary_figure(out, report); });
  const json& data = fig["data"];
  ASSERT_EQ(data.size(), 4u);
  EXPECT_EQ(data[0]["cells"]["values"],
            json({"trace-1", 5.0, 1.0000001, "1970-01-01T00:00:00+00:00"}));
  EXPECT_EQ(data[1]["name"], "retrieve");
  EXPECT_EQ(data[1]["cells"]["values"], json({{"reranker"}, {0.25}, {1.235}}));
  EXPECT_EQ(data[2]["cells"]["values"].dump(), "[0,0]");
  // A call that took no time has no rates: empty cells.
  EXPECT_EQ(data[3]["cells"]["values"][4], json({""}));
  EXPECT_EQ(data[3]["cells"]["values"][5], json({""}));
  EXPECT_EQ(data[3]["cells"]["values"][0], json({"ChatOpenAI"}));
  EXPECT_EQ(fig["layout"]["annotations"][2]["text"], "Build Version None Build Date None");
  EXPECT_EQ(fig["layout"]["title"]["text"], "Profile Summary");
}

TEST(Summary, EmptyRetrievalListGivesTableWithoutCells) {
  json fig = figure_json([&](auto& out) { trace::write_summary_figure(out, small_report()); });
  EXPECT_EQ(fig["data"][1]["cells"]["values"], json::array());
}

// Offsets are exact to the nanosecond, and stay right for stamps further apart than 64-bit
// nanoseconds reach (they used to wrap around into negative offsets).
TEST(Profile, TimeOffsetsOfNearAndFarStamps) {
  auto observation = [](std::string id, std::string name, trace::Nanos start) {
    trace::Observation o;
    o.id = std::move(id);
    o.name = std::move(name);
    o.type = "GENERATION";
    o.start_time = start;
    o.end_time = start;
    return o;
  };
  constexpr trace::Nanos kMin = std::numeric_limits<trace::Nanos>::min();
  constexpr trace::Nanos kMax = std::numeric_limits<trace::Nanos>::max();
  const struct {
    trace::Nanos root, parser;
    double offset;
  } cases[] = {{1'715'000'000'000'000'000, 1'715'000'000'000'000'001, 1e-9},
               {kMin, kMax, 18446744073.709552},
               {kMax, kMin, -18446744073.709552}};
  for (const auto& c : cases) {
    // Collection order is newest first: the root comes last and is the first row.
    trace::Report report = trace::build_report(
        "t", {observation("p", "vynStrOutputParser", c.parser), observation("r", "x", c.root)},
        Number{0, true});
    EXPECT_DOUBLE_EQ(report.rows[1].time_offset, c.offset);
    EXPECT_DOUBLE_EQ(report.summary.time_to_first_token, c.offset);
  }
}

TEST(Flame, PreOrderWithLevelsAndRootAtZero) {
  trace::Report report = small_report();
  auto entries = trace::flame_entries(report.rows, report.root_id);
  ASSERT_EQ(entries.size(), 3u);  // the loose top-level row is not under the root
  json fig =
      figure_json([&](auto& out) { trace::write_flame_figure(out, entries, [] { return 0.99; }); });
  const json& bars = fig["data"];
  EXPECT_EQ(bars[0]["base"], json({0.0}));
  EXPECT_EQ(bars[0]["x"], json({3.0}));
  EXPECT_NEAR(bars[0]["y"][0].get<double>(), 0, 0.1);
  EXPECT_LT(bars[0]["y"][0].get<double>(), 0);  // first bar below its level, second above
  EXPECT_GT(bars[1]["y"][0].get<double>(), 1);
  EXPECT_EQ(bars[2]["name"], "vynStrOutputParser");
  EXPECT_NEAR(bars[2]["y"][0].get<double>(), 2, 0.1);
  EXPECT_EQ(bars[2]["meta"], json({1.0, 1.25, 0.25, "vynStrOutputParser"}));
}

TEST(Flame, LoopingParentsAndMissingRoot) {
  std::vector<trace::Row> rows{row("a", "x", "b", 0, 1, 0), row("b", "y", "a", 0, 1, 1)};
  EXPECT_EQ(trace::flame_entries(rows, "a").size(), 2u);
  EXPECT_THROW(trace::flame_entries(rows, "c"), mosswork::core::InvalidArgument);
}

class ReportFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("trace-report-" + std::to_string(::getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    js_ = (dir_ / "plotly.min.js").string();
    std::ofstream(js_) << "/* plotly stand-in */";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const trace::Report& report) {
    const std::string path = (dir_ / "report.html").string();
    trace::write_report(path, report, js_);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }

  static std::size_t count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::filesystem::path dir_;
  std::string js_;
};

TEST_F(ReportFile, SectionsInOrderLibraryOnceAndScriptsClosedOnlyByThePage) {
  trace::Report report = small_report();
  report.rows[1].name = "</script><script>alert(1)</script>";
  std::string page = write(report);
  EXPECT_EQ(count(page, "/* plotly stand-in */"), 1u);
  const auto summary = page.find("\"Profile Summary\"");
  const auto timeline = page.find("\"Timeline Graph\"");
  const auto flame = page.find("\"Flame Graph\"");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_LT(summary, timeline);
  EXPECT_LT(timeline, flame);
  EXPECT_LT(page.find("/* plotly stand-in */"), summary);
  // Config script, library, three figures: the name never closes one.
  EXPECT_EQ(count(page, "<script>"), 5u);
  EXPECT_EQ(count(page, "</script>"), 5u);
  EXPECT_NE(page.find("\\u003c/script\\u003e\\u003cscript\\u003ealert(1)"), std::string::npos);
}

TEST_F(ReportFile, TenThousandLevelsDeep) {
  trace::Report report;
  constexpr std::size_t kDepth = 10000;
  for (std::size_t i = 0; i < kDepth; ++i) {
    report.rows.push_back(row("o" + std::to_string(i), "step",
                              i == 0 ? std::nullopt : std::optional("o" + std::to_string(i - 1)),
                              0.001 * i, 1, i));
  }
  report.root_id = "o0";
  auto entries = trace::flame_entries(report.rows, report.root_id);
  ASSERT_EQ(entries.size(), kDepth);
  EXPECT_EQ(entries.back().level, kDepth - 1);
  std::string page = write(report);
  EXPECT_EQ(count(page, "\"type\":\"bar\""), kDepth);
}

TEST_F(ReportFile, UnwritablePathThrows) {
  EXPECT_THROW(trace::write_report((dir_ / "missing" / "r.html").string(), small_report(), js_),
               mosswork::core::IoError);
}

}  // namespace
