// URL origins.
#include "core/http/url.h"

namespace mosswork::core::http {

std::string origin_of(std::string_view url) {
  std::size_t start = url.find("://");
  start = (start == std::string_view::npos) ? 0 : start + 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string out(url.substr(0, end == std::string_view::npos ? url.size() : end));
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

}  // namespace mosswork::core::http
