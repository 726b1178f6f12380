// A Log that keeps every line, for tests that check what was logged.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/common/log.h"

namespace mosswork::testing {

class CaptureLog final : public core::Log {
 public:
  bool enabled(core::LogLevel) const override { return true; }
  void write(core::LogLevel level, std::string_view text) override {
    std::lock_guard lock(mu_);
    lines_.emplace_back(level, std::string(text));
  }
  int count_containing(const std::string& part) {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& [level, text] : lines_) n += text.find(part) != std::string::npos;
    return n;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<core::LogLevel, std::string>> lines_;
};

}  // namespace mosswork::testing
