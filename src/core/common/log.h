// The logging interface of the core: a level and one finished text, nothing else.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace mosswork::core {

enum class LogLevel { kDebug, kInfo, kWarning, kError };

class Log {
 public:
  virtual ~Log() = default;
  // Whether a text at this level would be written; checked before building a costly text.
  virtual bool enabled(LogLevel level) const = 0;
  virtual void write(LogLevel level, std::string_view text) = 0;

  // Builds the text only when the level is enabled.
  template <typename Build>
  void lazy(LogLevel level, Build&& build) {
    if (enabled(level)) write(level, std::forward<Build>(build)());
  }
  void debug(std::string_view text) { write(LogLevel::kDebug, text); }
  void info(std::string_view text) { write(LogLevel::kInfo, text); }
  void warning(std::string_view text) { write(LogLevel::kWarning, text); }
  void error(std::string_view text) { write(LogLevel::kError, text); }
};

// Discards everything; for callers that have nowhere to log.
class NullLog final : public Log {
 public:
  bool enabled(LogLevel) const override { return false; }
  void write(LogLevel, std::string_view) override {}
};

}  // namespace mosswork::core
