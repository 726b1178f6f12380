// The bridge's JSON decoder: the text json.loads reads to Python values, with its errors.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "bridge/json_codec.h"
#include "bridge/json_support.h"
#include "core/common/utf8.h"

namespace py = pybind11;

namespace mosswork::bridge::json {
namespace {

using detail::class_name_of;
using detail::ensure_ready;
using detail::Nesting;
using detail::new_ref;
using detail::Ref;

// json.JSONDecodeError(msg, doc, pos), raised as json.loads raises it.
void raise_decode_error(const char* message, PyObject* doc, Py_ssize_t pos) {
  Ref module(PyImport_ImportModule("json"));
  if (!module) return;
  Ref cls(PyObject_GetAttrString(module.get(), "JSONDecodeError"));
  if (!cls) return;
  Ref error(PyObject_CallFunction(cls.get(), "sOn", message, doc, pos));
  if (!error) return;
  PyErr_SetObject(cls.get(), error.get());
}

bool is_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

int hex_value(Py_UCS4 c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// A str of n characters copied from s, whose characters OR together to bits.
template <typename SrcT>
PyObject* new_str(const SrcT* s, Py_ssize_t n, Py_UCS4 bits) {
  Py_UCS4 max_char = bits < 0x80 ? 0x7f : bits < 0x100 ? 0xff : bits < 0x10000 ? 0xffff : 0x10ffff;
  PyObject* text = PyUnicode_New(n, max_char);
  if (text == nullptr || n == 0) return text;
  auto copy = [&](auto* target) {
    using DstT = std::remove_pointer_t<decltype(target)>;
    if constexpr (sizeof(DstT) == sizeof(SrcT)) {
      std::memcpy(target, s, static_cast<std::size_t>(n) * sizeof(SrcT));
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) target[i] = static_cast<DstT>(s[i]);
    }
  };
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      copy(PyUnicode_1BYTE_DATA(text));
      break;
    case PyUnicode_2BYTE_KIND:
      copy(PyUnicode_2BYTE_DATA(text));
      break;
    default:
      copy(PyUnicode_4BYTE_DATA(text));
      break;
  }
  return text;
}

// Reads one document from the characters of a str; positions in errors are in characters.
//
// With kUtf8 it reads UTF-8 bytes instead, making each string with the "surrogatepass" UTF-8
// decoder. Strings start and end at ASCII bytes, so each is decoded exactly as its slice of the
// whole document would be. That mode only attempts the document: on any failure it returns null
// with no reliable error, and the caller decodes the document and parses the str instead, which
// raises what json.loads raises.
template <typename CharT, bool kUtf8 = false>
class Parser {
 public:
  Parser(PyObject* doc, const CharT* data, Py_ssize_t size) : doc_(doc), data_(data), size_(size) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() {
    for (PyObject* object : stack_) Py_DECREF(object);
    for (KeySlot& slot : keys_) Py_XDECREF(slot.text);
    for (PyObject* object : constants_) Py_XDECREF(object);
  }

  PyObject* document() {
    Py_ssize_t next = 0;
    Ref result(value(skip(0), next));
    if (!result) return nullptr;
    Py_ssize_t end = skip(next);
    if (end != size_) return fail("Extra data", end);
    return result.release();
  }

 private:
  static constexpr Py_ssize_t kCachedKeyLength = 48;

  // Recently read ASCII keys, so that repeated keys are one str, as json's memo makes them.
  struct KeySlot {
    PyObject* text = nullptr;
    std::uint64_t hash = 0;
  };

  PyObject* fail(const char* message, Py_ssize_t pos) {
    if constexpr (!kUtf8) raise_decode_error(message, doc_, pos);
    return nullptr;
  }

  Py_ssize_t skip(Py_ssize_t i) const {
    while (i < size_ && is_space(data_[i])) ++i;
    return i;
  }

  bool matches(Py_ssize_t i, const char* word, Py_ssize_t n) const {
    if (size_ - i < n) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
      if (data_[i + k] != static_cast<CharT>(word[k])) return false;
    }
    return true;
  }

  void push(PyObject* object) {
    try {
      stack_.push_back(object);
    } catch (...) {
      Py_DECREF(object);
      throw;
    }
  }

  PyObject* value(Py_ssize_t i, Py_ssize_t& next) {
    if (i >= size_) return fail("Expecting value", i);
    switch (data_[i]) {
      case '"':
        return string(i + 1, next, false);
      case '{': {
        Nesting nesting(" while decoding a JSON object from a unicode string");
        if (!nesting.ok()) return nullptr;
        return object(i + 1, next);
      }
      case '[': {
        Nesting nesting(" while decoding a JSON array from a unicode string");
        if (!nesting.ok()) return nullptr;
        return array(i + 1, next);
      }
      case 'n':
        if (matches(i, "null", 4)) {
          next = i + 4;
          return new_ref(Py_None);
        }
        break;
      case 't':
        if (matches(i, "true", 4)) {
          next = i + 4;
          return new_ref(Py_True);
        }
        break;
      case 'f':
        if (matches(i, "false", 5)) {
          next = i + 5;
          return new_ref(Py_False);
        }
        break;
      case 'N':
        if (matches(i, "NaN", 3)) {
          next = i + 3;
          return constant(0);
        }
        break;
      case 'I':
        if (matches(i, "Infinity", 8)) {
          next = i + 8;
          return constant(1);
        }
        break;
      case '-':
        if (matches(i, "-Infinity", 9)) {
          next = i + 9;
          return constant(2);
        }
        break;
      default:
        break;
    }
    return number(i, next);
  }

  // The very float objects json.loads returns for NaN, Infinity and -Infinity, looked up once
  // per document.
  PyObject* constant(int which) {
    static constexpr const char* kNames[] = {"NaN", "PosInf", "NegInf"};
    PyObject*& slot = constants_[which];
    if (slot == nullptr) {
      Ref module(PyImport_ImportModule("json.decoder"));
      if (!module) return nullptr;
      slot = PyObject_GetAttrString(module.get(), kNames[which]);
      if (slot == nullptr) return nullptr;
    }
    return new_ref(slot);
  }

  PyObject* number(Py_ssize_t start, Py_ssize_t& next) {
    const Py_ssize_t last = size_ - 1;
    Py_ssize_t i = start;
    if (data_[i] == '-') {
      ++i;
      if (i > last) return fail("Expecting value", start);
    }
    if (data_[i] >= '1' && data_[i] <= '9') {
      ++i;
      while (i <= last && is_digit(data_[i])) ++i;
    } else if (data_[i] == '0') {
      ++i;
    } else {
      return fail("Expecting value", start);
    }
    const Py_ssize_t int_end = i;
    bool is_float = false;
    if (i < last && data_[i] == '.' && is_digit(data_[i + 1])) {
      is_float = true;
      i += 2;
      while (i <= last && is_digit(data_[i])) ++i;
    }
    if (i < last && (data_[i] == 'e' || data_[i] == 'E')) {
      Py_ssize_t exponent_start = i;
      ++i;
      if (i < last && (data_[i] == '-' || data_[i] == '+')) ++i;
      while (i <= last && is_digit(data_[i])) ++i;
      if (is_digit(data_[i - 1])) {
        is_float = true;
      } else {
        i = exponent_start;
      }
    }
    next = i;
    if (!is_float) {
      Py_ssize_t first_digit = data_[start] == '-' ? start + 1 : start;
      if (int_end - first_digit <= 18) {
        long long magnitude = 0;
        for (Py_ssize_t k = first_digit; k < int_end; ++k)
          magnitude = magnitude * 10 + (data_[k] - '0');
        return PyLong_FromLongLong(first_digit == start ? magnitude : -magnitude);
      }
    }
    if (!is_float) return PyLong_FromString(ascii_copy(start, i), nullptr, 10);
    const char* text;
    if constexpr (sizeof(CharT) == 1) {
      text = reinterpret_cast<const char*>(data_ + start);
    } else {
      text = ascii_copy(start, i);
    }
    double result = 0.0;
    auto [end, ec] = std::from_chars(text, text + (i - start), result);
    (void)end;
    if (ec != std::errc()) {
      // Out of range: float() gives an infinity or a zero of the right sign.
      result = PyOS_string_to_double(ascii_copy(start, i), nullptr, nullptr);
      if (result == -1.0 && PyErr_Occurred()) return nullptr;
    }
    return PyFloat_FromDouble(result);
  }

  // The number's characters as a NUL-terminated char string.
  const char* ascii_copy(Py_ssize_t start, Py_ssize_t end) {
    number_.resize(static_cast<std::size_t>(end - start));
    for (Py_ssize_t k = start; k < end; ++k)
      number_[static_cast<std::size_t>(k - start)] = static_cast<char>(data_[k]);
    return number_.c_str();
  }

  PyObject* cached_key(const CharT* s, Py_ssize_t n) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (Py_ssize_t k = 0; k < n; ++k)
      hash = (hash ^ static_cast<std::uint64_t>(s[k])) * 1099511628211ULL;
    KeySlot& slot = keys_[hash % keys_.size()];
    if (slot.text != nullptr && slot.hash == hash && PyUnicode_GET_LENGTH(slot.text) == n) {
      const Py_UCS1* cached = PyUnicode_1BYTE_DATA(slot.text);
      bool same = true;
      for (Py_ssize_t k = 0; k < n && same; ++k) same = cached[k] == s[k];
      if (same) return new_ref(slot.text);
    }
    PyObject* text = new_str(s, n, 0);
    if (text == nullptr) return nullptr;
    Py_XDECREF(slot.text);
    slot.text = new_ref(text);
    slot.hash = hash;
    return text;
  }

  template <typename ByteT>
  static PyObject* decode_utf8(const ByteT* s, Py_ssize_t n) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s), n, "surrogatepass");
  }

  // A string whose opening quote is just before i; next is set after its closing quote.
  PyObject* string(Py_ssize_t i, Py_ssize_t& next, bool is_key) {
    const Py_ssize_t begin = i - 1;
    Py_UCS4 bits = 0;
    Py_ssize_t j = i;
    for (; j < size_; ++j) {
      Py_UCS4 c = data_[j];
      if (c == '"' || c == '\\') break;
      if (c < 0x20) return fail("Invalid control character at", j);
      bits |= c;
    }
    if (j >= size_) return fail("Unterminated string starting at", begin);
    if (data_[j] == '"') {
      next = j + 1;
      if (is_key && bits < 0x80 && j - i <= kCachedKeyLength) return cached_key(data_ + i, j - i);
      if (kUtf8 && bits >= 0x80) return decode_utf8(data_ + i, j - i);
      return new_str(data_ + i, j - i, bits);
    }
    if constexpr (kUtf8) {
      utf8_.assign(reinterpret_cast<const char*>(data_ + i), static_cast<std::size_t>(j - i));
    } else {
      scratch_.assign(data_ + i, data_ + j);
    }
    while (true) {
      // data_[j] is a backslash.
      ++j;
      if (j == size_) return fail("Unterminated string starting at", begin);
      Py_UCS4 c = data_[j];
      if (c != 'u') {
        switch (c) {
          case '"':
          case '\\':
          case '/':
            break;
          case 'b':
            c = '\b';
            break;
          case 'f':
            c = '\f';
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case 't':
            c = '\t';
            break;
          default:
            return fail("Invalid \\escape", j - 1);
        }
        ++j;
      } else {
        // j is at 'u'; end is just after its four hex digits.
        Py_ssize_t end = j + 5;
        if (end >= size_) return fail("Invalid \\uXXXX escape", j);
        c = 0;
        for (Py_ssize_t k = j + 1; k < end; ++k) {
          int digit = hex_value(data_[k]);
          if (digit < 0) return fail("Invalid \\uXXXX escape", j);
          c = (c << 4) | static_cast<Py_UCS4>(digit);
        }
        // A high surrogate joins a following \u low surrogate, as json's scanstring does.
        if (c >= 0xd800 && c <= 0xdbff && end + 6 < size_ && data_[end] == '\\' &&
            data_[end + 1] == 'u') {
          Py_UCS4 low = 0;
          for (Py_ssize_t k = end + 2; k < end + 6; ++k) {
            int digit = hex_value(data_[k]);
            if (digit < 0) return fail("Invalid \\uXXXX escape", end + 1);
            low = (low << 4) | static_cast<Py_UCS4>(digit);
          }
          if (low >= 0xdc00 && low <= 0xdfff) {
            c = 0x10000 + (((c - 0xd800) << 10) | (low - 0xdc00));
            end += 6;
          }
        }
        j = end;
      }
      if constexpr (kUtf8) {
        mosswork::core::append_utf8(utf8_, static_cast<char32_t>(c));
      } else {
        scratch_.push_back(c);
      }
      bits |= c;
      for (; j < size_; ++j) {
        c = data_[j];
        if (c == '"' || c == '\\') break;
        if (c < 0x20) return fail("Invalid control character at", j);
        if constexpr (kUtf8) {
          utf8_.push_back(static_cast<char>(c));
        } else {
          scratch_.push_back(c);
        }
        bits |= c;
      }
      if (j >= size_) return fail("Unterminated string starting at", begin);
      if (data_[j] == '"') {
        next = j + 1;
        if constexpr (kUtf8) {
          Py_ssize_t n = static_cast<Py_ssize_t>(utf8_.size());
          return bits < 0x80 ? new_str(utf8_.data(), n, bits) : decode_utf8(utf8_.data(), n);
        } else {
          return new_str(scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()), bits);
        }
      }
    }
  }

  PyObject* array(Py_ssize_t i, Py_ssize_t& next) {
    const std::size_t base = stack_.size();
    i = skip(i);
    if (i >= size_ || data_[i] != ']') {
      while (true) {
        Py_ssize_t after = 0;
        PyObject* item = value(i, after);
        if (item == nullptr) return nullptr;  // the items so far are released with the stack
        push(item);
        i = skip(after);
        if (i < size_ && data_[i] == ']') break;
        if (i >= size_ || data_[i] != ',') return fail("Expecting ',' delimiter", i);
        i = skip(i + 1);
      }
    }
    next = i + 1;
    const Py_ssize_t n = static_cast<Py_ssize_t>(stack_.size() - base);
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k)
      PyList_SET_ITEM(list, k, stack_[base + static_cast<std::size_t>(k)]);
    stack_.resize(base);
    return list;
  }

  PyObject* object(Py_ssize_t i, Py_ssize_t& next) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    i = skip(i);
    if (i >= size_ || data_[i] != '}') {
      while (true) {
        if (i >= size_ || data_[i] != '"') {
          return fail("Expecting property name enclosed in double quotes", i);
        }
        Py_ssize_t after = 0;
        Ref key(string(i + 1, after, true));
        if (!key) return nullptr;
        i = skip(after);
        if (i >= size_ || data_[i] != ':') return fail("Expecting ':' delimiter", i);
        i = skip(i + 1);
        Ref item(value(i, after));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
        i = skip(after);
        if (i < size_ && data_[i] == '}') break;
        if (i >= size_ || data_[i] != ',') return fail("Expecting ',' delimiter", i);
        i = skip(i + 1);
      }
    }
    next = i + 1;
    return dict.release();
  }

  PyObject* doc_;
  const CharT* data_;
  Py_ssize_t size_;
  std::vector<PyObject*> stack_;  // items of the arrays being read, owned
  std::vector<Py_UCS4> scratch_;  // characters of a string with escapes
  std::string utf8_;              // the same, as UTF-8, when reading UTF-8
  std::string number_;
  std::array<KeySlot, 128> keys_{};
  std::array<PyObject*, 3> constants_{};
};

template <typename CharT>
PyObject* parse_with(PyObject* doc, const void* data, Py_ssize_t size) {
  Parser<CharT> parser(doc, static_cast<const CharT*>(data), size);
  return parser.document();
}

// Parses a str (or str subclass); new reference, or null with the error set.
PyObject* parse_text(PyObject* text) {
  if (!ensure_ready(text)) return nullptr;
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t size = PyUnicode_GET_LENGTH(text);
  try {
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        return parse_with<Py_UCS1>(text, data, size);
      case PyUnicode_2BYTE_KIND:
        return parse_with<Py_UCS2>(text, data, size);
      default:
        return parse_with<Py_UCS4>(text, data, size);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

// The codec json.loads picks for bytes (json.detect_encoding).
const char* detect_encoding(const unsigned char* b, std::size_t n) {
  auto starts = [&](std::initializer_list<unsigned char> prefix) {
    return n >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b);
  };
  if (starts({0x00, 0x00, 0xfe, 0xff}) || starts({0xff, 0xfe, 0x00, 0x00})) return "utf-32";
  if (starts({0xfe, 0xff}) || starts({0xff, 0xfe})) return "utf-16";
  if (starts({0xef, 0xbb, 0xbf})) return "utf-8-sig";
  if (n >= 4) {
    if (b[0] == 0) return b[1] != 0 ? "utf-16-be" : "utf-32-be";
    if (b[1] == 0) return b[2] != 0 || b[3] != 0 ? "utf-16-le" : "utf-32-le";
  } else if (n == 2) {
    if (b[0] == 0) return "utf-16-be";
    if (b[1] == 0) return "utf-16-le";
  }
  return "utf-8";
}

// json.loads of bytes: decoded as json.loads decodes them, then parsed. UTF-8 is first read
// as it is, without the decoded copy of the whole document.
PyObject* parse_bytes(const char* data, std::size_t n) {
  const char* encoding = detect_encoding(reinterpret_cast<const unsigned char*>(data), n);
  if (std::strcmp(encoding, "utf-8") == 0) {
    try {
      Parser<Py_UCS1, true> parser(nullptr, reinterpret_cast<const Py_UCS1*>(data),
                                   static_cast<Py_ssize_t>(n));
      if (PyObject* result = parser.document()) return result;
    } catch (const std::bad_alloc&) {
    }
    PyErr_Clear();
  }
  Ref text(PyUnicode_Decode(data, static_cast<Py_ssize_t>(n), encoding, "surrogatepass"));
  if (!text) return nullptr;
  return parse_text(text.get());
}

PyObject* parse_any(PyObject* source) {
  if (PyUnicode_Check(source)) {
    if (!ensure_ready(source)) return nullptr;
    if (PyUnicode_GET_LENGTH(source) > 0 && PyUnicode_READ_CHAR(source, 0) == 0xfeff) {
      raise_decode_error("Unexpected UTF-8 BOM (decode using utf-8-sig)", source, 0);
      return nullptr;
    }
    return parse_text(source);
  }
  if (PyBytes_Check(source)) {
    return parse_bytes(PyBytes_AS_STRING(source),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
  }
  if (PyByteArray_Check(source)) {
    return parse_bytes(PyByteArray_AS_STRING(source),
                       static_cast<std::size_t>(PyByteArray_GET_SIZE(source)));
  }
  Ref name(class_name_of(source));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "the JSON object must be str, bytes or bytearray, not %U",
               name.get());
  return nullptr;
}

}  // namespace

py::object loads(py::handle text) {
  PyObject* result = parse_any(text.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object loads_utf8(std::string_view utf8) {
  PyObject* result = parse_bytes(utf8.data(), utf8.size());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace mosswork::bridge::json
