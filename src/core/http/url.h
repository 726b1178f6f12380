// Percent-encoding of URL parts and the pieces of a URL the transport needs to know.
#pragma once

#include <string>
#include <string_view>

#include "core/common/url.h"

namespace mosswork::core::http {

// Encodes every byte except ASCII letters, digits, "-", ".", "_", "~" and the ASCII characters
// in keep as "%" and two upper-case hexadecimal digits (the form signatures are computed over).
// The same encoding as core::quote, with nothing kept by default.
inline std::string percent_encode(std::string_view text, std::string_view keep = {}) {
  return quote(text, keep);
}

// "scheme://host:port" of an absolute URL (what a connection is made to), lower-cased scheme
// and host; the whole text when it has no path.
std::string origin_of(std::string_view url);

}  // namespace mosswork::core::http
