// Parsing of amqp:// broker URLs into the parts a connection needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mosswork::core::amqp {

// Where and as whom to connect; every field is already percent-decoded.
struct Url {
  std::string host;        // name or address, without IPv6 brackets
  std::uint16_t port = 0;  // TCP port
  std::string user;        // login name
  std::string password;    // login password
  std::string vhost;       // virtual host

  bool operator==(const Url&) const = default;
};

inline constexpr std::uint16_t kDefaultPort = 5672;

// Reads an amqp:// URL the way kombu does: the path after the first "/" is the virtual host
// ("//" gives "/", and an empty path gives the default "/"); user name, password and virtual
// host are percent-decoded; a missing user or password is "guest"; a missing or zero port is
// 5672; a missing host or "localhost" is 127.0.0.1. Query and fragment are ignored. Throws
// InvalidArgument for another scheme, a bad port, unbalanced IPv6 brackets, or a NUL byte in a
// decoded part.
Url parse_url(std::string_view url);

}  // namespace mosswork::core::amqp
