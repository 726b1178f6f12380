// The pieces of the trace report below the page: the cell formatter, the label placement, the
// flame-graph walk and the three figures as Plotly figure JSON. Internal to the report writer;
// the tests reach them here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/trace/profile.h"

namespace mosswork::core::trace {

// ---- table cells --------------------------------------------------------------------------

// A time stamp shown as ISO 8601 text.
struct Timestamp {
  Nanos value = 0;
};

// A float the formatter leaves as it is (numbers that come out of the table).
struct Exact {
  double value = 0;
};

// One table cell: null, text, a number (a float is rounded to 3 decimals), an exact float, or a
// time stamp.
using Cell = std::variant<std::nullptr_t, std::string, Number, Exact, Timestamp>;
using Column = std::vector<Cell>;

// Characters per line for position i: the whole part of 100 times widths[i], 10 without widths.
std::size_t line_length(std::span<const double> widths, std::size_t i);

// `text` (UTF-8) cut into pieces of `length` characters, joined by "<br>".
std::string cut_lines(std::string_view text, std::size_t length);

// Python's round(value, 3) (correctly rounded, halves to even on the exact binary value).
double round3(double value);

// Formats one cell for a line length: text is cut, a float rounded, anything else kept.
void format_cell(Cell& cell, std::size_t length);

// The cell formatter over a flat list (value i takes line length i) or a list of columns
// (every value of column i takes line length i). Returns its argument.
std::vector<Cell>& add_br(std::vector<Cell>& cells, std::span<const double> widths = {});
std::vector<Column>& add_br(std::vector<Column>& columns, std::span<const double> widths = {});

// Rows to columns; no rows give no columns.
std::vector<Column> transpose(const std::vector<std::vector<Cell>>& rows);

// ISO 8601 text of a UTC time stamp at microsecond precision, the fraction left out when it is
// zero: "2024-05-01T10:00:00.123456+00:00".
std::string iso_timestamp(Nanos value);

// ---- label placement ------------------------------------------------------------------------

// The centre of the widest gap between neighbours of {0, 1} and `lst`; the first widest gap
// wins a tie; 0 when no gap is wider than 0.
double find_largest_section_center(std::vector<double> lst);

// The same over values already sorted, 0 and 1 included; placing labels one after another keeps
// such a list and inserts each result.
double largest_gap_center_sorted(std::span<const double> sorted);

// ---- flame graph ----------------------------------------------------------------------------

struct FlameEntry {
  const Row* row = nullptr;  // name and id
  double start = 0;          // the row's time offset
  double end = 0;            // offset plus latency
  std::size_t level = 0;     // nesting depth, root 0
};

// The observation tree under root_id in pre-order, children in row order, walked without
// recursion. An id is drawn once, so a trace whose parent links loop cannot loop the walk.
// Throws InvalidArgument when no row has root_id.
std::vector<FlameEntry> flame_entries(const std::vector<Row>& rows, const std::string& root_id);

// ---- JSON output ----------------------------------------------------------------------------

// JSON text written into a buffer that is flushed to a file descriptor as it fills (fd < 0 keeps
// everything in memory). Strings are escaped so that the text can sit inside an HTML <script>:
// '<', '>' and '&' (and U+2028, U+2029) become \u escapes. Floats are written as Python's repr
// writes them, non-finite ones as null.
class JsonSink {
 public:
  explicit JsonSink(int fd = -1) : fd_(fd) {}
  JsonSink(const JsonSink&) = delete;
  JsonSink& operator=(const JsonSink&) = delete;

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name);
  void string(std::string_view utf8);
  void number(double value);
  void integer(long long value);
  void number(const Number& value);
  void null();
  void boolean(bool value);
  void cell(const Cell& value);
  // Text outside the JSON values (the page around them), written as it is.
  void raw(std::string_view text);

  // Writes the buffer out once it holds more than a chunk; flush() writes it all.
  void maybe_flush() {
    if (buffer_.size() >= kChunk) flush();
  }
  void flush();
  // Everything written so far (in memory only: fd < 0).
  const std::string& text() const { return buffer_; }

 private:
  static constexpr std::size_t kChunk = 1 << 16;

  void separate();
  void open(char bracket);
  void close(char bracket);
  void append_escaped(std::string_view utf8);

  int fd_;
  std::string buffer_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool after_key_ = false;
};

// ---- figures --------------------------------------------------------------------------------

// Each writes one figure as {"data": [...], "layout": {...}}.
void write_summary_figure(JsonSink& out, const Report& report);
void write_timeline_figure(JsonSink& out, const std::vector<Row>& rows);
// `jitter` returns numbers uniform in [0, 1).
void write_flame_figure(JsonSink& out, const std::vector<FlameEntry>& entries,
                        const std::function<double()>& jitter);

}  // namespace mosswork::core::trace
