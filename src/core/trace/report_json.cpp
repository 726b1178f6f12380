// JSON text for the report's figures, escaped for a place inside an HTML script element.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <variant>

#include "core/common/errors.h"
#include "core/common/json_text.h"
#include "core/trace/report_parts.h"

namespace mosswork::core::trace {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned c) {
  const char text[6] = {
      '\\', 'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf], kHex[c & 0xf]};
  out.append(text, 6);
}

// Bytes copied as they are: printable ASCII other than the quote, the backslash and the three
// characters that could open or close markup.
constexpr bool plain(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&';
}

// Length of the valid UTF-8 sequence at s (lead byte from 0x80 up), or 0 when it is not one.
std::size_t utf8_sequence(const unsigned char* s, std::size_t n) {
  auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xbf) {
    return i < n && s[i] >= lo && s[i] <= hi;
  };
  unsigned c = s[0];
  if (c >= 0xc2 && c <= 0xdf) return cont(1) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    unsigned lo = c == 0xe0 ? 0xa0 : 0x80;
    unsigned hi = c == 0xed ? 0x9f : 0xbf;  // no surrogates
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    unsigned lo = c == 0xf0 ? 0x90 : 0x80;
    unsigned hi = c == 0xf4 ? 0x8f : 0xbf;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

void JsonSink::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) buffer_ += ',';
    first_.back() = false;
  }
}

void JsonSink::open(char bracket) {
  separate();
  buffer_ += bracket;
  first_.push_back(true);
}

void JsonSink::close(char bracket) {
  buffer_ += bracket;
  first_.pop_back();
}

void JsonSink::key(std::string_view name) {
  separate();
  buffer_ += '"';
  append_escaped(name);
  buffer_ += "\":";
  after_key_ = true;
}

void JsonSink::string(std::string_view utf8) {
  separate();
  buffer_ += '"';
  append_escaped(utf8);
  buffer_ += '"';
}

void JsonSink::number(double value) {
  separate();
  if (!std::isfinite(value)) {
    // Plotly's encoder turns NaN and the infinities into null.
    buffer_ += "null";
    return;
  }
  char text[json::kMaxDoubleText];
  buffer_.append(text, static_cast<std::size_t>(json::write_double(text, value) - text));
}

void JsonSink::integer(long long value) {
  separate();
  char text[json::kMaxIntegerText];
  buffer_.append(text, static_cast<std::size_t>(json::write_integer(text, value) - text));
}

void JsonSink::number(const Number& value) {
  // An integer beyond the range of long long would not survive the cast; such a value only
  // reaches here as a float anyway.
  if (value.integral && std::fabs(value.value) < 9.2e18) {
    integer(static_cast<long long>(value.value));
  } else {
    number(value.value);
  }
}

void JsonSink::null() {
  separate();
  buffer_ += "null";
}

void JsonSink::boolean(bool value) {
  separate();
  buffer_ += value ? "true" : "false";
}

void JsonSink::cell(const Cell& value) {
  std::visit(
      [this](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          null();
        } else if constexpr (std::is_same_v<T, std::string>) {
          string(v);
        } else if constexpr (std::is_same_v<T, Number>) {
          number(v);
        } else if constexpr (std::is_same_v<T, Exact>) {
          number(v.value);
        } else {
          string(iso_timestamp(v.value));
        }
      },
      value);
}

void JsonSink::raw(std::string_view text) { buffer_.append(text); }

void JsonSink::append_escaped(std::string_view utf8) {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = i;
    while (run < n && plain(s[run])) ++run;
    buffer_.append(utf8.data() + i, run - i);
    i = run;
    if (i == n) break;
    unsigned c = s[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          buffer_ += "\\\"";
          break;
        case '\\':
          buffer_ += "\\\\";
          break;
        case '\b':
          buffer_ += "\\b";
          break;
        case '\f':
          buffer_ += "\\f";
          break;
        case '\n':
          buffer_ += "\\n";
          break;
        case '\r':
          buffer_ += "\\r";
          break;
        case '\t':
          buffer_ += "\\t";
          break;
        default:
          append_u_escape(buffer_, c);
      }
      ++i;
      continue;
    }
    std::size_t len = utf8_sequence(s + i, n - i);
    if (len == 0) {
      // Not UTF-8: the replacement character keeps the page valid text.
      append_u_escape(buffer_, 0xfffd);
      ++i;
    } else if (len == 3 && c == 0xe2 && s[i + 1] == 0x80 &&
               (s[i + 2] == 0xa8 || s[i + 2] == 0xa9)) {
      // Line and paragraph separators end a line in older script engines.
      append_u_escape(buffer_, s[i + 2] == 0xa8 ? 0x2028 : 0x2029);
      i += 3;
    } else {
      buffer_.append(utf8.data() + i, len);
      i += len;
    }
  }
}

void JsonSink::flush() {
  if (fd_ < 0) return;
  const char* p = buffer_.data();
  std::size_t left = buffer_.size();
  while (left > 0) {
    ssize_t written = ::write(fd_, p, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot write the trace report");
    }
    p += written;
    left -= static_cast<std::size_t>(written);
  }
  buffer_.clear();
}

}  // namespace mosswork::core::trace
