// A JSON codec that writes exactly what Python's json.dumps writes and reads what json.loads reads.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace mosswork::bridge::json {

// Encoded bytes in the block the encoder grew them in, handed over without a copy: a request
// body of many megabytes then exists once.
class EncodedText {
 public:
  EncodedText() = default;
  EncodedText(char* data, std::size_t size) : data_(data), size_(size) {}
  std::string_view view() const { return {data_ ? data_.get() : "", size_}; }
  std::string str() const { return std::string(view()); }

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_ = 0;
};

// Encoder output: UTF-8 text in which lone surrogates (possible only with ensure_ascii=false) are
// written as their three-byte forms, as Python's "surrogatepass" would write them.
struct Encoded {
  EncodedText text;
  bool has_lone_surrogate = false;
};

// json.dumps(value, ensure_ascii=ensure_ascii) with every other argument at its default.
// Raises (as a pybind11::error_already_set) the TypeError, ValueError or RecursionError that
// json.dumps raises for the same value. Needs the GIL.
Encoded encode(pybind11::handle value, bool ensure_ascii);

// The same, as a Python str equal to json.dumps's result.
pybind11::str dumps(pybind11::handle value, bool ensure_ascii);

// The same, as strict UTF-8 bytes for the wire; a lone surrogate raises the UnicodeEncodeError
// that str.encode("utf-8") raises for it.
std::string dumps_utf8(pybind11::handle value, bool ensure_ascii);

// json.loads(text): text is a str, bytes or bytearray; errors are json.JSONDecodeError with the
// same message and position as json.loads gives. Needs the GIL.
pybind11::object loads(pybind11::handle text);

// json.loads of UTF-8 bytes received from a server: the same values and errors as json.loads
// gives for those bytes (its encoding detection included). Needs the GIL.
pybind11::object loads_utf8(std::string_view utf8);

}  // namespace mosswork::bridge::json
