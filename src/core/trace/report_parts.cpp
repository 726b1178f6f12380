// The trace report's cell formatter, label placement and flame-graph walk.
#include "core/trace/report_parts.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "core/common/errors.h"

namespace mosswork::core::trace {

std::size_t line_length(std::span<const double> widths, std::size_t i) {
  if (widths.empty()) return 10;
  // The whole part, as int() takes it: 100 * 0.07 is 7.000000000000001, giving 7.
  return static_cast<std::size_t>(100 * widths[i]);
}

std::string cut_lines(std::string_view text, std::size_t length) {
  if (length == 0 || text.size() <= length) return std::string(text);  // bytes >= characters
  std::string out;
  out.reserve(text.size() + text.size() / length * 4);
  std::size_t count = 0;
  for (char c : text) {
    // A character begins at every byte that is not a UTF-8 continuation byte.
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) {
      if (count == length) {
        out += "<br>";
        count = 0;
      }
      ++count;
    }
    out += c;
  }
  return out;
}

double round3(double value) {
  if (!std::isfinite(value)) return value;
  // to_chars is exact (no locale, correctly rounded), as Python's round goes through the
  // correctly rounded decimal text too.
  char text[400];
  auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3).ptr;
  double rounded = 0;
  std::from_chars(text, end, rounded);
  return rounded;
}

void format_cell(Cell& cell, std::size_t length) {
  if (auto* text = std::get_if<std::string>(&cell)) {
    *text = cut_lines(*text, length);
  } else if (auto* number = std::get_if<Number>(&cell)) {
    if (!number->integral) number->value = round3(number->value);
  }
}

std::vector<Cell>& add_br(std::vector<Cell>& cells, std::span<const double> widths) {
  for (std::size_t i = 0; i < cells.size(); ++i) format_cell(cells[i], line_length(widths, i));
  return cells;
}

std::vector<Column>& add_br(std::vector<Column>& columns, std::span<const double> widths) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::size_t length = line_length(widths, i);
    for (Cell& cell : columns[i]) format_cell(cell, length);
  }
  return columns;
}

std::vector<Column> transpose(const std::vector<std::vector<Cell>>& rows) {
  std::vector<Column> columns;
  if (rows.empty()) return columns;
  columns.resize(rows.front().size());
  for (auto& column : columns) column.reserve(rows.size());
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) columns[i].push_back(row[i]);
  }
  return columns;
}

std::string iso_timestamp(Nanos value) {
  using namespace std::chrono;
  // Microseconds, as a time stamp becomes a datetime before it is written (floor, so that a
  // time before 1970 keeps its date).
  const sys_time<microseconds> time{floor<microseconds>(nanoseconds(value))};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<microseconds> clock{time - day};
  char text[48];
  int n = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", int(date.year()),
                        unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                        int(clock.minutes().count()), int(clock.seconds().count()));
  std::string out(text, static_cast<std::size_t>(n));
  if (auto micros = clock.subseconds().count(); micros != 0) {
    std::snprintf(text, sizeof text, ".%06lld", static_cast<long long>(micros));
    out += text;
  }
  out += "+00:00";
  return out;
}

double largest_gap_center_sorted(std::span<const double> sorted) {
  double widest = 0;
  double low = 0;
  double high = 0;
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    const double gap = sorted[i + 1] - sorted[i];
    if (gap > widest) {
      widest = gap;
      low = sorted[i];
      high = sorted[i + 1];
    }
  }
  return (low + high) / 2;
}

double find_largest_section_center(std::vector<double> lst) {
  lst.push_back(0);
  lst.push_back(1);
  std::sort(lst.begin(), lst.end());
  return largest_gap_center_sorted(lst);
}

std::vector<FlameEntry> flame_entries(const std::vector<Row>& rows, const std::string& root_id) {
  // id -> its row (the last row of an id wins, as in a dict); parent id -> child rows.
  std::unordered_map<std::string_view, const Row*> by_id;
  std::unordered_map<std::string_view, std::vector<const Row*>> children;
  by_id.reserve(rows.size());
  for (const Row& row : rows) {
    by_id[row.id] = &row;
    if (row.parent_id) children[*row.parent_id].push_back(&row);
  }
  auto root = by_id.find(root_id);
  if (root == by_id.end()) throw InvalidArgument("the root observation is not in the trace");

  std::vector<FlameEntry> entries;
  entries.reserve(rows.size());
  std::unordered_set<std::string_view> drawn;
  // Pre-order with an explicit stack: children pushed in reverse keep row order when popped.
  std::vector<std::pair<std::string_view, std::size_t>> stack{{root->first, 0}};
  while (!stack.empty()) {
    auto [id, level] = stack.back();
    stack.pop_back();
    if (!drawn.insert(id).second) continue;
    const Row* row = by_id.at(id);
    const double start = row->time_offset;
    entries.push_back({row, start, start + row->latency.value, level});
    auto kids = children.find(id);
    if (kids == children.end()) continue;
    for (auto it = kids->second.rbegin(); it != kids->second.rend(); ++it) {
      stack.emplace_back((*it)->id, level + 1);
    }
  }
  return entries;
}

}  // namespace mosswork::core::trace
