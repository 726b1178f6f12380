// HTTP header lists: what a request sends and what a response carries, looked up by name
// without regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mosswork::core::http {

// Headers of a request, in the order they are sent.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// ASCII case-insensitive equality, as header names compare.
bool iequals(std::string_view a, std::string_view b) noexcept;

// Headers of a response in arrival order; a name may occur more than once.
class Headers {
 public:
  void add(std::string name, std::string value);
  // Appends to the value of the last header (an obsolete folded line).
  void append_to_last(std::string_view more);
  void clear() noexcept { items_.clear(); }

  // The first value under this name.
  std::optional<std::string_view> get(std::string_view name) const noexcept;
  // Every value under this name, in arrival order.
  std::vector<std::string_view> get_all(std::string_view name) const;
  bool contains(std::string_view name) const noexcept { return get(name).has_value(); }

  const std::vector<std::pair<std::string, std::string>>& items() const noexcept { return items_; }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

}  // namespace mosswork::core::http
