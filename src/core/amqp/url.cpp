// Parsing of amqp:// broker URLs into the parts a connection needs.
#include "core/amqp/url.h"

#include <algorithm>
#include <cctype>

#include "core/common/errors.h"
#include "core/common/url.h"

namespace mosswork::core::amqp {
namespace {

constexpr std::string_view kScheme = "amqp://";

std::string lower_ascii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Decoded text of one part; a NUL cannot reach the broker through the C API.
std::string decoded(std::string_view part, std::string_view what) {
  std::string text = unquote(part);
  if (text.find('\0') != std::string::npos) {
    throw InvalidArgument("invalid AMQP URL: the " + std::string(what) + " holds a NUL byte");
  }
  return text;
}

std::uint16_t parse_port(std::string_view text) {
  if (text.empty()) return 0;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      throw InvalidArgument("invalid AMQP URL: port '" + std::string(text) + "' is not a number");
    }
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) {
      throw InvalidArgument("invalid AMQP URL: port '" + std::string(text) +
                            "' is out of range 0-65535");
    }
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

Url parse_url(std::string_view url) {
  // Like Python's URL splitting: outer blanks and controls go, tabs and line breaks anywhere go.
  std::string text;
  text.reserve(url.size());
  for (char c : url) {
    if (c != '\t' && c != '\r' && c != '\n') text.push_back(c);
  }
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && blank(text[first])) ++first;
  std::string_view rest(text);
  rest.remove_prefix(first);

  if (rest.size() < kScheme.size() ||
      lower_ascii(std::string(rest.substr(0, kScheme.size()))) != kScheme) {
    throw InvalidArgument("invalid AMQP URL: it must start with amqp://");
  }
  rest.remove_prefix(kScheme.size());

  // The authority ends at the first "/", "?" or "#"; the path at the first "?" or "#".
  const std::size_t authority_end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, authority_end);
  std::string_view path;
  if (authority_end != std::string_view::npos && rest[authority_end] == '/') {
    path = rest.substr(authority_end);
    path = path.substr(0, path.find_first_of("?#"));
  }

  Url parsed;
  std::string_view host_port = authority;
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = authority.substr(0, at);
    host_port = authority.substr(at + 1);
    const std::size_t colon = user_info.find(':');
    parsed.user = decoded(user_info.substr(0, colon), "user name");
    if (colon != std::string_view::npos) {
      parsed.password = decoded(user_info.substr(colon + 1), "password");
    }
  }

  const bool opens = host_port.find('[') != std::string_view::npos;
  const bool closes = host_port.find(']') != std::string_view::npos;
  if (opens != closes) throw InvalidArgument("invalid AMQP URL: unbalanced IPv6 brackets");
  std::string_view host;
  std::string_view port;
  if (opens) {
    const std::string_view bracketed = host_port.substr(host_port.find('[') + 1);
    const std::size_t close = bracketed.find(']');
    if (close == std::string_view::npos) {
      throw InvalidArgument("invalid AMQP URL: unbalanced IPv6 brackets");
    }
    host = bracketed.substr(0, close);
    const std::string_view after = bracketed.substr(close + 1);
    if (const std::size_t colon = after.find(':'); colon != std::string_view::npos) {
      port = after.substr(colon + 1);
    }
  } else {
    const std::size_t colon = host_port.find(':');
    host = host_port.substr(0, colon);
    if (colon != std::string_view::npos) port = host_port.substr(colon + 1);
  }

  parsed.host = lower_ascii(decoded(host, "host"));
  parsed.port = parse_port(port);
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  parsed.vhost = decoded(path, "virtual host");

  // kombu's defaults for every part left empty, and its loopback address for "localhost".
  if (parsed.user.empty()) parsed.user = "guest";
  if (parsed.password.empty()) parsed.password = "guest";
  if (parsed.host.empty() || parsed.host == "localhost") parsed.host = "127.0.0.1";
  if (parsed.port == 0) parsed.port = kDefaultPort;
  if (parsed.vhost.empty()) parsed.vhost.assign(1, '/');
  return parsed;
}

}  // namespace mosswork::core::amqp
