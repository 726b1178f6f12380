// The trace report's three figures as Plotly figure JSON, and the HTML page that holds them.
#include "core/trace/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <numeric>
#include <random>

#include "core/common/errors.h"
#include "core/common/random_token.h"
#include "core/common/unique_fd.h"
#include "core/trace/report_parts.h"

namespace mosswork::core::trace {
namespace {

constexpr std::array<double, 4> kOverallWidths{0.4, 0.25, 0.15, 0.2};
constexpr std::array<double, 3> kRetrievalWidths{0.5, 0.3, 0.2};
constexpr std::array<double, 8> kModelWidths{0.1, 0.1, 0.07, 0.07, 0.07, 0.07, 0.26, 0.26};

// Steps that get a label in the timeline.
constexpr std::array<std::string_view, 7> kKeyProcesses{
    "llm_confirm_intent", "AzureChatOpenAI", "ChatOpenAI", "reranker",
    "multi_retrieve",     "embed_query",     "Retriever"};

constexpr std::string_view kTimelineHover =
    "offset: %{meta[3]} s<br>letency: %{meta[2]}<br>end: %{meta[4]}<br>id: %{meta[0]}<br>"
    "name: %{meta[1]}<br><extra></extra>";
constexpr std::string_view kFlameHover =
    "start: %{meta[0]} s<br>end: %{meta[1]}<br>latency: %{meta[2]}<br>name: %{meta[3]}<br>"
    "<extra></extra>";

Number real(double value) { return Number{value, false}; }

// A rate the call has none of (it took no time, or counted no tokens) shows as an empty cell:
// plotly.js would print a null as the word "null".
Cell optional_real(const std::optional<double>& value) {
  if (!value) return std::string();
  return real(*value);
}

void numbers(JsonSink& out, std::span<const double> values) {
  out.begin_array();
  for (double v : values) out.number(v);
  out.end_array();
}

void strings(JsonSink& out, std::initializer_list<std::string_view> values) {
  out.begin_array();
  for (auto v : values) out.string(v);
  out.end_array();
}

// A domain {"x": [0, 1], "y": [y0, y1]}; whole numbers are written as integers, as given.
void domain(JsonSink& out, Number y0, Number y1) {
  out.key("domain");
  out.begin_object();
  out.key("x");
  out.begin_array();
  out.integer(0);
  out.integer(1);
  out.end_array();
  out.key("y");
  out.begin_array();
  out.number(y0);
  out.number(y1);
  out.end_array();
  out.end_object();
}

void title(JsonSink& out, std::string_view text) {
  out.key("title");
  out.begin_object();
  out.key("text");
  out.string(text);
  out.end_object();
}

void header(JsonSink& out, std::initializer_list<std::string_view> names) {
  out.key("header");
  out.begin_object();
  out.key("values");
  strings(out, names);
  out.end_object();
}

void cells(JsonSink& out, const std::vector<Cell>& values) {
  out.key("cells");
  out.begin_object();
  out.key("values");
  out.begin_array();
  for (const Cell& c : values) out.cell(c);
  out.end_array();
  out.end_object();
}

void cells(JsonSink& out, const std::vector<Column>& columns) {
  out.key("cells");
  out.begin_object();
  out.key("values");
  out.begin_array();
  for (const Column& column : columns) {
    out.begin_array();
    for (const Cell& c : column) out.cell(c);
    out.end_array();
  }
  out.end_array();
  out.end_object();
}

void paper_label(JsonSink& out, std::string_view text, std::string_view colour, double y) {
  out.begin_object();
  out.key("font");
  out.begin_object();
  out.key("color");
  out.string(colour);
  out.key("size");
  out.integer(15);
  out.end_object();
  out.key("x");
  out.integer(0);
  out.key("y");
  out.number(y);
  out.key("showarrow");
  out.boolean(false);
  out.key("text");
  out.string(text);
  out.key("textangle");
  out.integer(0);
  out.key("xanchor");
  out.string("left");
  out.key("xref");
  out.string("paper");
  out.key("yref");
  out.string("paper");
  out.end_object();
}

bool is_key_process(std::string_view name) {
  return std::find(kKeyProcesses.begin(), kKeyProcesses.end(), name) != kKeyProcesses.end();
}

// Latency as the table holds it: one column, so a single fractional value makes every value a
// float.
Number table_latency(const Row& row, bool all_integral) {
  return Number{row.latency.value, all_integral && row.latency.integral};
}

// Kernel-seeded generator; the jitter needs no more than that.
std::function<double()> kernel_seeded_jitter() {
  std::uint64_t seed = 0;
  random_bytes(&seed, sizeof seed);
  return [engine = std::mt19937_64(seed)]() mutable {
    // 53 random bits scaled into [0, 1): never 1, unlike generate_canonical may.
    return static_cast<double>(engine() >> 11) * 0x1.0p-53;
  };
}

void write_file_into(JsonSink& out, const std::string& path) {
  UniqueFd fd = open_fd(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd) throw_errno("cannot open the Plotly library", path);
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot read the Plotly library", path);
    }
    if (n == 0) break;
    out.raw(std::string_view(chunk, static_cast<std::size_t>(n)));
    out.maybe_flush();
  }
}

// Plotly's default look, shipped beside its library; applied when present and plain JSON.
std::string read_template(const std::string& plotly_js_path) {
  namespace fs = std::filesystem;
  const fs::path path = fs::path(plotly_js_path).parent_path() / "templates" / "plotly.json";
  JsonSink text;
  try {
    write_file_into(text, path.string());
  } catch (const IoError&) {
    return {};
  }
  const std::string& json = text.text();
  // Only what cannot end the script it sits in.
  if (json.empty() || json.front() != '{' || json.find('<') != std::string::npos) return {};
  return json;
}

void begin_section(JsonSink& out, std::string_view id) {
  out.raw("    <div id=\"");
  out.raw(id);
  out.raw(
      "\" class=\"plotly-graph-div\" style=\"height:100%; width:100%;\"></div>\n"
      "    <script>\n"
      "      window.PLOTLYENV = window.PLOTLYENV || {};\n"
      "      (function () {\n"
      "        var id = \"");
  out.raw(id);
  out.raw(
      "\";\n"
      "        if (!document.getElementById(id)) return;\n"
      "        var figure = ");
}

void end_section(JsonSink& out) {
  out.raw(
      ";\n"
      "        if (window.PlotlyReportTemplate) figure.layout.template = "
      "window.PlotlyReportTemplate;\n"
      "        Plotly.newPlot(id, figure.data, figure.layout, {\"responsive\": true});\n"
      "      })();\n"
      "    </script>\n"
      "  </div>\n");
  out.maybe_flush();
}

}  // namespace

void write_summary_figure(JsonSink& out, const Report& report) {
  const Summary& summary = report.summary;
  out.begin_object();
  out.key("data");
  out.begin_array();

  // Overall numbers.
  std::vector<Cell> overall{summary.trace_id, real(round3(summary.duration)),
                            Exact{summary.time_to_first_token},
                            Timestamp{summary.first_token_timestamp}};
  out.begin_object();
  out.key("type");
  out.string("table");
  domain(out, Number{0.9, false}, Number{1, true});
  out.key("columnwidth");
  numbers(out, kOverallWidths);
  header(out, {"trace_id", "duration", "time_to_first_token", "first_token_timestamp"});
  cells(out, add_br(overall, kOverallWidths));
  out.end_object();

  // Retrieval steps.
  std::vector<std::vector<Cell>> steps;
  steps.reserve(summary.retrieval_steps.size());
  for (const RetrievalStep& step : summary.retrieval_steps) {
    steps.push_back({step.process, real(step.time_offset), step.duration});
  }
  std::vector<Column> step_columns = transpose(steps);
  out.begin_object();
  out.key("type");
  out.string("table");
  out.key("name");
  out.string("retrieve");
  out.key("columnwidth");
  numbers(out, kRetrievalWidths);
  domain(out, Number{0.35, false}, Number{0.75, false});
  header(out, {"processes", "time_offset", "duration"});
  cells(out, add_br(step_columns, kRetrievalWidths));
  out.end_object();

  // Retrieval summary.
  std::vector<Cell> retrieval{summary.retrieve_duration, summary.speedup};
  out.begin_object();
  out.key("type");
  out.string("table");
  out.key("name");
  out.string("retrieve_summary");
  domain(out, Number{0.75, false}, Number{0.85, false});
  header(out, {"duration", "speedup"});
  cells(out, add_br(retrieval));
  out.end_object();

  // Model calls.
  std::vector<std::vector<Cell>> calls;
  calls.reserve(summary.model_calls.size());
  for (const ModelCall& call : summary.model_calls) {
    calls.push_back({call.process, call.model ? Cell(*call.model) : Cell(nullptr),
                     real(call.time_offset), call.duration, optional_real(call.charactor_per_s),
                     optional_real(call.token_per_s), call.input, call.output});
  }
  std::vector<Column> call_columns = transpose(calls);
  calls.clear();
  out.begin_object();
  out.key("type");
  out.string("table");
  out.key("name");
  out.string("generation");
  domain(out, Number{0, true}, Number{0.3, false});
  out.key("columnwidth");
  numbers(out, kModelWidths);
  header(out, {"processes", "model", "time_offset", "duration", "charactor/s", "token/s", "input",
               "output"});
  cells(out, add_br(call_columns, kModelWidths));
  out.end_object();

  out.end_array();
  out.key("layout");
  out.begin_object();
  title(out, "Profile Summary");
  out.key("annotations");
  out.begin_array();
  paper_label(out, "Retrieve Details:", "Red", 0.9);
  paper_label(out, "Generation Details:", "Red", 0.31);
  paper_label(out, "Build Version " + report.build_version + " Build Date " + report.build_date,
              "Black", 1.05);
  out.end_array();
  out.end_object();
  out.end_object();
}

void write_timeline_figure(JsonSink& out, const std::vector<Row>& rows) {
  const bool integral =
      std::all_of(rows.begin(), rows.end(), [](const Row& row) { return row.latency.integral; });
  // Rows grouped by id, groups in ascending id order, rows of a group in row order.
  std::vector<std::size_t> order(rows.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return rows[a].id < rows[b].id; });

  struct Label {
    const Row* row;
    double y;
  };
  std::vector<Label> labels;
  // Per step name: heights used so far with 0 and 1, kept sorted.
  std::map<std::string_view, std::vector<double>> used;

  out.begin_object();
  out.key("data");
  out.begin_array();
  for (std::size_t index : order) {
    const Row& row = rows[index];
    const double offset = row.time_offset;
    const double end = offset + row.latency.value;
    if (is_key_process(row.name)) {
      auto [it, fresh] = used.try_emplace(row.name);
      if (fresh) it->second = {0.0, 1.0};
      std::vector<double>& heights = it->second;
      const double height = largest_gap_center_sorted(heights);
      heights.insert(std::upper_bound(heights.begin(), heights.end(), height), height);
      labels.push_back({&row, offset + row.latency.value * height});
    }
    out.begin_object();
    out.key("type");
    out.string("scatter");
    out.key("x");
    out.begin_array();
    out.integer(static_cast<long long>(row.no));
    out.integer(static_cast<long long>(row.no));
    out.end_array();
    out.key("y");
    out.begin_array();
    out.number(offset);
    out.number(end + 0.01);
    out.end_array();
    out.key("mode");
    out.string("lines+markers");
    out.key("meta");
    out.begin_array();
    out.string(row.id);
    out.string(row.name);
    out.number(table_latency(row, integral));
    out.number(offset);
    out.number(end);
    out.end_array();
    out.key("hovertemplate");
    out.string(kTimelineHover);
    out.end_object();
    out.maybe_flush();
  }
  out.end_array();

  out.key("layout");
  out.begin_object();
  title(out, "Timeline Graph");
  out.key("xaxis");
  out.begin_object();
  out.key("tickmode");
  out.string("array");
  out.key("tickvals");
  out.begin_array();
  for (std::size_t i = 0; i < rows.size(); i += 5) out.integer(static_cast<long long>(i));
  out.end_array();
  out.key("ticktext");
  out.begin_array();
  for (std::size_t i = 0; i < rows.size(); i += 5) out.number(rows[i].time_offset);
  out.end_array();
  title(out, "time offset");
  out.end_object();
  out.key("yaxis");
  out.begin_object();
  title(out, "latency");
  out.end_object();
  out.key("annotations");
  out.begin_array();
  for (const Label& label : labels) {
    out.begin_object();
    out.key("x");
    out.number(static_cast<double>(label.row->no) + 0.02);
    out.key("y");
    out.number(label.y);
    out.key("xref");
    out.string("x");
    out.key("yref");
    out.string("y");
    out.key("text");
    out.string(label.row->name);
    out.key("showarrow");
    out.boolean(true);
    out.key("arrowhead");
    out.integer(1);
    out.end_object();
    out.maybe_flush();
  }
  out.end_array();
  out.end_object();
  out.end_object();
}

void write_flame_figure(JsonSink& out, const std::vector<FlameEntry>& entries,
                        const std::function<double()>& jitter) {
  out.begin_object();
  out.key("data");
  out.begin_array();
  int counter = 1;
  for (const FlameEntry& entry : entries) {
    // Alternate signs keep neighbouring bars of one level apart.
    counter = -counter;
    const double length = entry.end - entry.start;
    out.begin_object();
    out.key("type");
    out.string("bar");
    out.key("x");
    out.begin_array();
    out.number(length);
    out.end_array();
    out.key("y");
    out.begin_array();
    out.number(static_cast<double>(entry.level) + counter * jitter() * 0.1);
    out.end_array();
    out.key("width");
    out.number(0.6);
    out.key("base");
    out.begin_array();
    out.number(entry.start);
    out.end_array();
    out.key("orientation");
    out.string("h");
    out.key("name");
    out.string(entry.row->name);
    out.key("meta");
    out.begin_array();
    out.number(entry.start);
    out.number(entry.end);
    out.number(length);
    out.string(entry.row->name);
    out.end_array();
    out.key("hovertemplate");
    out.string(kFlameHover);
    out.end_object();
    out.maybe_flush();
  }
  out.end_array();
  out.key("layout");
  out.begin_object();
  out.key("barmode");
  out.string("stack");
  title(out, "Flame Graph");
  out.key("xaxis");
  out.begin_object();
  title(out, "Time (s)");
  out.end_object();
  out.key("yaxis");
  out.begin_object();
  title(out, "Call Stack");
  out.key("automargin");
  out.boolean(true);
  out.end_object();
  out.key("showlegend");
  out.boolean(false);
  out.end_object();
  out.end_object();
}

void write_report(const std::string& path, const Report& report,
                  const std::string& plotly_js_path) {
  // Everything that can fail on the data fails before the file is touched.
  const std::vector<FlameEntry> flame = flame_entries(report.rows, report.root_id);
  const std::string style = read_template(plotly_js_path);
  auto jitter = kernel_seeded_jitter();

  UniqueFd fd = open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (!fd) throw_errno("cannot open the trace report", path);
  JsonSink out(fd.get());
  out.raw(
      "<!doctype html>\n<html>\n<head>\n  <meta charset=\"utf-8\" />\n"
      "  <style>html, body {height: 100%;}</style>\n</head>\n<body>\n");

  // Section 1 carries the library, once, for all three.
  out.raw(
      "  <div style=\"height:100%; width:100%;\">\n"
      "    <script>window.PlotlyConfig = {MathJaxConfig: 'local'};</script>\n    <script>");
  write_file_into(out, plotly_js_path);
  out.raw("</script>\n");
  if (!style.empty()) {
    out.raw("    <script>window.PlotlyReportTemplate = ");
    out.raw(style);
    out.raw(";</script>\n");
  }
  begin_section(out, "profile-summary");
  write_summary_figure(out, report);
  end_section(out);

  out.raw("  <div style=\"height:100%; width:100%;\">\n");
  begin_section(out, "timeline-graph");
  write_timeline_figure(out, report.rows);
  end_section(out);

  out.raw("  <div style=\"height:100%; width:100%;\">\n");
  begin_section(out, "flame-graph");
  write_flame_figure(out, flame, jitter);
  end_section(out);

  out.raw("</body>\n</html>\n");
  out.flush();
  if (::close(fd.release()) != 0) throw_errno("cannot write the trace report", path);
}

}  // namespace mosswork::core::trace
