// Percent-encoding of URL parts: the escaping of user names and passwords in service URLs.
#pragma once

#include <string>
#include <string_view>

namespace mosswork::core {

// Replaces every byte except ASCII letters, digits, "_", ".", "-", "~" and the bytes of `safe`
// by "%" and two upper-case hex digits. Text is taken as UTF-8, so a non-ASCII character
// becomes one %XX per byte. The default keeps "/", which is wrong for a user name or password
// that may hold one: pass "" there when the result must survive URL parsing.
std::string quote(std::string_view text, std::string_view safe = "/");

// Turns each "%" followed by two hex digits (either case) into that byte; any other "%" stays
// as it is, like Python's urllib unquote. Bytes are not checked for valid UTF-8.
std::string unquote(std::string_view text);

}  // namespace mosswork::core
