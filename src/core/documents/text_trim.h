// Trimming of extracted text with the white-space set of Python's str.strip().
#pragma once

#include <string>
#include <string_view>

namespace mosswork::core::documents {

// `text` (UTF-8) without leading and trailing white space, where white space is every code
// point Python's str.isspace() accepts (ASCII blanks, \x1c-\x1f, U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string strip_white_space(std::string_view text);

}  // namespace mosswork::core::documents
