// Case-insensitive header lookup.
#include "core/http/headers.h"

namespace mosswork::core::http {
namespace {

char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void Headers::add(std::string name, std::string value) {
  items_.emplace_back(std::move(name), std::move(value));
}

void Headers::append_to_last(std::string_view more) {
  if (items_.empty()) return;
  std::string& value = items_.back().second;
  if (!value.empty() && !more.empty()) value.push_back(' ');
  value.append(more);
}

std::optional<std::string_view> Headers::get(std::string_view name) const noexcept {
  for (const auto& [key, value] : items_) {
    if (iequals(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::vector<std::string_view> Headers::get_all(std::string_view name) const {
  std::vector<std::string_view> out;
  for (const auto& [key, value] : items_) {
    if (iequals(key, name)) out.emplace_back(value);
  }
  return out;
}

}  // namespace mosswork::core::http
