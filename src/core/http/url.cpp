// Percent-encoding and URL origins.
#include "core/http/url.h"

namespace mosswork::core::http {
namespace {

bool unreserved(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string percent_encode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (unreserved(c) || keep.find(ch) != std::string_view::npos) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

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
