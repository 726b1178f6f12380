// Python texts from the core's UTF-8 and file-system paths from Python arguments.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace mosswork::bridge {

// bytes decoded as UTF-8 into a str. errors is a codec error handler as bytes.decode takes it:
// "strict" raises UnicodeDecodeError, "replace" keeps undecodable bytes visible as U+FFFD (for
// error and log texts, where a stray byte must not hide the message itself).
pybind11::str decode_utf8(std::string_view bytes, const char* errors = "strict");

// bytes decoded as Latin-1, as http.client and urllib3 read header lines (never fails).
pybind11::str decode_latin1(std::string_view bytes);

// A path argument (str, bytes or os.PathLike) as the bytes the system calls take (os.fsencode).
// An embedded NUL would cut the path short in the C library and open another file, so it is
// refused with ValueError as os.open refuses it; other types raise os.fsencode's TypeError.
std::string fs_path(pybind11::handle path);

}  // namespace mosswork::bridge
