// JSON codec over the CPython C API: writes what json.dumps writes, reads what json.loads reads.
#include "bridge/json_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "core/common/utf8.h"

namespace py = pybind11;

namespace mosswork::bridge::json {
namespace {

// ---- shared pieces -------------------------------------------------------------------------

// Owns one reference; early returns on error paths cannot leak it.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  void reset(PyObject* object) {
    Py_XDECREF(object_);
    object_ = object;
  }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

PyObject* new_ref(PyObject* object) {
  Py_INCREF(object);
  return object;
}

// The end of this thread's stack that a nested container must not reach. Python's recursion limit
// bounds the nesting, but a raised limit must not let deep input overflow the native stack, so
// the codec also stops a margin above the stack's end and reports it as the same RecursionError.
struct StackLimit {
  std::uintptr_t low = 0;    // the stack's lowest address
  std::uintptr_t floor = 0;  // low plus the margin kept free
};

const StackLimit& stack_limit() {
  thread_local const StackLimit limit = [] {
    StackLimit result;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr) {
        std::size_t margin = std::clamp<std::size_t>(size / 8, 32 * 1024, 256 * 1024);
        if (size > 2 * margin) {
          result.low = reinterpret_cast<std::uintptr_t>(low);
          result.floor = result.low + margin;
        }
      }
      pthread_attr_destroy(&attr);
    }
#endif
    return result;
  }();
  return limit;
}

bool native_stack_exhausted() {
  const StackLimit& limit = stack_limit();
  auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // A frame below the stack's low end runs on some other stack (a coroutine's): not judged.
  return frame < limit.floor && frame >= limit.low;
}

// One level of container nesting: Py_EnterRecursiveCall plus the native stack check.
class Nesting {
 public:
  explicit Nesting(const char* where) {
    if (native_stack_exhausted()) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  ~Nesting() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool ok() const { return entered_; }

 private:
  bool entered_ = false;
};

bool ensure_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// f"{obj.__class__.__name__}", as json's own error texts build it.
PyObject* class_name_of(PyObject* object) {
  Ref cls(PyObject_GetAttrString(object, "__class__"));
  if (!cls) return nullptr;
  Ref name(PyObject_GetAttrString(cls.get(), "__name__"));
  if (!name) return nullptr;
  return PyObject_Format(name.get(), nullptr);
}

constexpr char kHex[] = "0123456789abcdef";

// ---- float and int text --------------------------------------------------------------------

// Room for any text write_double produces (at most 24 characters, as in -1.2345678901234567e-308).
constexpr std::size_t kMaxDoubleText = 32;

// float.__repr__ for a finite value: the shortest digits that round-trip (to_chars and repr
// both pick the nearest of the shortest candidates), in exponent form from 1e16 up and below
// 1e-4, otherwise positional with at least one digit after the point.
char* write_finite_double(char* out, double value) {
  char sci[kMaxDoubleText];
  auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  (void)ec;  // the buffer always fits a double
  const char* s = sci;
  if (*s == '-') *out++ = *s++;
  const char* mantissa = s;
  char digits[20];
  int count = 0;
  digits[count++] = *s++;
  if (*s == '.') {
    for (++s; *s != 'e'; ++s) digits[count++] = *s;
  }
  int exponent = 0;
  for (const char* e = s + 2; e < sci_end; ++e) exponent = exponent * 10 + (*e - '0');
  if (s[1] == '-') exponent = -exponent;
  int point = exponent + 1;  // digits before the decimal point
  if (point <= -4 || point > 16) {
    // to_chars writes the exponent form exactly as repr does: "1e+16", "2.5e-05".
    std::size_t n = static_cast<std::size_t>(sci_end - mantissa);
    std::memcpy(out, mantissa, n);
    return out + n;
  }
  if (point <= 0) {
    *out++ = '0';
    *out++ = '.';
    for (int i = 0; i < -point; ++i) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    return out + count;
  }
  if (point >= count) {
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    out += count;
    for (int i = count; i < point; ++i) *out++ = '0';
    *out++ = '.';
    *out++ = '0';
    return out;
  }
  std::memcpy(out, digits, static_cast<std::size_t>(point));
  out += point;
  *out++ = '.';
  std::memcpy(out, digits + point, static_cast<std::size_t>(count - point));
  return out + (count - point);
}

// What json writes for any float: repr, or NaN / Infinity / -Infinity.
char* write_double(char* out, double value) {
  if (std::isfinite(value)) return write_finite_double(out, value);
  const char* text = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
  std::size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

// ---- encoder -------------------------------------------------------------------------------

// Output bytes; realloc lets large outputs grow in place instead of being copied.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }

  // Room for n more bytes; returns where they go. Finish with commit().
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }
  void append(const char* text, std::size_t n) {
    char* out = reserve(n);
    std::memcpy(out, text, n);
    size_ += n;
  }
  void put(char c) {
    *reserve(1) = c;
    ++size_;
  }

  const char* data() const { return data_ ? data_ : ""; }
  std::size_t size() const { return size_; }

 private:
  void grow(std::size_t n) {
    std::size_t wanted = std::max({capacity_ * 2, size_ + n, std::size_t{4096}});
    void* grown = std::realloc(data_, wanted);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// For each ASCII character: 0 when it is written as is, otherwise the character that follows
// the backslash ('u' for \u00XX). 0x7f is escaped only when the output must be ASCII.
constexpr std::array<char, 128> make_escapes(bool ascii_only) {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  if (ascii_only) table[0x7f] = 'u';
  return table;
}
constexpr std::array<char, 128> kAsciiEscapes = make_escapes(true);
constexpr std::array<char, 128> kUtf8Escapes = make_escapes(false);

// Characters of a Latin-1 string that can be copied as is, up to the first that cannot: below
// 0x20, '"', '\\', and from 0x7f (ASCII output) or 0x80 (UTF-8 output) up. Eight at a time.
template <bool kAscii>
std::size_t plain_run(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t x;
      std::memcpy(&x, s + i, 8);
      // Each term marks a byte by its high bit; a borrow or carry can only mark bytes after
      // a truly marked one, so the lowest mark is exact.
      std::uint64_t control = (x - kOnes * 0x20) & ~x & kHigh;
      std::uint64_t q = x ^ (kOnes * '"');
      std::uint64_t quote = (q - kOnes) & ~q & kHigh;
      std::uint64_t b = x ^ (kOnes * '\\');
      std::uint64_t backslash = (b - kOnes) & ~b & kHigh;
      std::uint64_t high = x & kHigh;
      if constexpr (kAscii) high |= (x + kOnes) & kHigh;  // 0x7f
      std::uint64_t marks = control | quote | backslash | high;
      if (marks != 0) return i + static_cast<std::size_t>(std::countr_zero(marks) / 8);
    }
  }
  constexpr unsigned kLimit = kAscii ? 0x7f : 0x80;
  for (; i < n; ++i) {
    unsigned c = s[i];
    if (c < 0x20 || c == '"' || c == '\\' || c >= kLimit) return i;
  }
  return n;
}

char* write_u_escape(char* out, unsigned c) {
  out[0] = '\\';
  out[1] = 'u';
  out[2] = kHex[(c >> 12) & 0xf];
  out[3] = kHex[(c >> 8) & 0xf];
  out[4] = kHex[(c >> 4) & 0xf];
  out[5] = kHex[c & 0xf];
  return out + 6;
}

template <bool kAscii>
class Encoder {
 public:
  Encoder() = default;
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() {
    for (PyObject* object : snapshot_) Py_DECREF(object);
  }

  bool run(PyObject* value) { return encode(value); }

  Buffer& output() { return out_; }
  bool lone_surrogate() const { return lone_surrogate_; }
  bool non_ascii() const { return non_ascii_; }

 private:
  static constexpr const char* kWhere = " while encoding a JSON object";
  static constexpr std::size_t kChunk = 4096;          // characters escaped per reservation
  static constexpr std::size_t kLinearPath = 48;       // ancestors compared one by one

  // Marks a container as being encoded, for the circular reference check.
  class PathEntry {
   public:
    PathEntry(Encoder& encoder, PyObject* container) : encoder_(encoder) {
      ok_ = encoder.enter(container);
    }
    PathEntry(const PathEntry&) = delete;
    PathEntry& operator=(const PathEntry&) = delete;
    ~PathEntry() {
      if (ok_) encoder_.leave();
    }
    bool ok() const { return ok_; }

   private:
    Encoder& encoder_;
    bool ok_;
  };

  bool enter(PyObject* container) {
    std::size_t linear = std::min(path_.size(), kLinearPath);
    bool seen = std::find(path_.begin(), path_.begin() + linear, container) !=
                path_.begin() + linear;
    if (!seen && path_.size() > kLinearPath) seen = deep_path_.count(container) != 0;
    if (seen) {
      PyErr_SetString(PyExc_ValueError, "Circular reference detected");
      return false;
    }
    if (path_.size() >= kLinearPath) deep_path_.insert(container);
    path_.push_back(container);
    return true;
  }
  void leave() {
    if (path_.size() > kLinearPath) deep_path_.erase(path_.back());
    path_.pop_back();
  }

  bool literal(const char* text, std::size_t n) {
    out_.append(text, n);
    return true;
  }

  bool real(double value) {
    char* out = out_.reserve(kMaxDoubleText);
    out_.commit(write_double(out, value));
    return true;
  }

  bool integer(PyObject* value, bool quoted) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) return false;
      char* out = out_.reserve(24);
      if (quoted) *out++ = '"';
      out = std::to_chars(out, out + 21, small).ptr;
      if (quoted) *out++ = '"';
      out_.commit(out);
      return true;
    }
    // int.__repr__ itself, so that huge values and the digit limit behave as in Python.
    Ref text(PyLong_Type.tp_repr(value));
    if (!text) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    char* out = out_.reserve(static_cast<std::size_t>(n) + 2);
    if (quoted) *out++ = '"';
    std::memcpy(out, PyUnicode_1BYTE_DATA(text.get()), static_cast<std::size_t>(n));
    out += n;
    if (quoted) *out++ = '"';
    out_.commit(out);
    return true;
  }

  char* escape_ascii(char* out, unsigned c) {
    char e = kAscii ? kAsciiEscapes[c] : kUtf8Escapes[c];
    if (e == 'u') return write_u_escape(out, c);
    out[0] = '\\';
    out[1] = e;
    return out + 2;
  }

  // One character from 0x80 up.
  char* write_wide(char* out, Py_UCS4 c) {
    if constexpr (kAscii) {
      if (c >= 0x10000) {
        c -= 0x10000;
        out = write_u_escape(out, 0xd800 | (c >> 10));
        return write_u_escape(out, 0xdc00 | (c & 0x3ff));
      }
      return write_u_escape(out, c);
    } else {
      non_ascii_ = true;
      if (c < 0x800) {
        out[0] = static_cast<char>(0xc0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3f));
        return out + 2;
      }
      if (c < 0x10000) {
        // Surrogates too: their three-byte form, as "surrogatepass" writes them.
        if (c >= 0xd800 && c <= 0xdfff) lone_surrogate_ = true;
        out[0] = static_cast<char>(0xe0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out[2] = static_cast<char>(0x80 | (c & 0x3f));
        return out + 3;
      }
      out[0] = static_cast<char>(0xf0 | (c >> 18));
      out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out[3] = static_cast<char>(0x80 | (c & 0x3f));
      return out + 4;
    }
  }

  void latin1_chars(const unsigned char* s, std::size_t n) {
    while (n > 0) {
      std::size_t chunk = std::min(n, kChunk);
      char* out = out_.reserve(6 * chunk);
      const unsigned char* end = s + chunk;
      while (s < end) {
        std::size_t run = plain_run<kAscii>(s, static_cast<std::size_t>(end - s));
        std::memcpy(out, s, run);
        out += run;
        s += run;
        if (s == end) break;
        unsigned c = *s++;
        out = c < 0x80 ? escape_ascii(out, c) : write_wide(out, c);
      }
      out_.commit(out);
      n -= chunk;
    }
  }

  template <typename CharT>
  void wide_chars(const CharT* s, std::size_t n) {
    const auto& escapes = kAscii ? kAsciiEscapes : kUtf8Escapes;
    while (n > 0) {
      std::size_t chunk = std::min(n, kChunk);
      char* out = out_.reserve(12 * chunk);
      for (const CharT* end = s + chunk; s < end; ++s) {
        Py_UCS4 c = *s;
        if (c < 0x80) {
          if (escapes[c] == 0) {
            *out++ = static_cast<char>(c);
          } else {
            out = escape_ascii(out, c);
          }
        } else {
          out = write_wide(out, c);
        }
      }
      out_.commit(out);
      n -= chunk;
    }
  }

  bool string(PyObject* text) {
    if (!ensure_ready(text)) return false;
    std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    out_.put('"');
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        latin1_chars(PyUnicode_1BYTE_DATA(text), n);
        break;
      case PyUnicode_2BYTE_KIND:
        wide_chars(PyUnicode_2BYTE_DATA(text), n);
        break;
      default:
        wide_chars(PyUnicode_4BYTE_DATA(text), n);
        break;
    }
    out_.put('"');
    return true;
  }

  bool unserializable(PyObject* value) {
    Ref hold(new_ref(value));
    Ref name(class_name_of(value));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", name.get());
    return false;
  }

  // A dict key as json converts it: str as is; float, bool, None and int by their JSON text.
  bool key(PyObject* k) {
    if (PyUnicode_Check(k)) return string(k);
    if (PyFloat_Check(k)) {
      char* out = out_.reserve(kMaxDoubleText + 2);
      *out++ = '"';
      out = write_double(out, PyFloat_AS_DOUBLE(k));
      *out++ = '"';
      out_.commit(out);
      return true;
    }
    if (k == Py_True || k == Py_False || k == Py_None) {
      literal(k == Py_True ? "\"true\"" : k == Py_False ? "\"false\"" : "\"null\"",
              k == Py_False ? 7 : 6);
      return true;
    }
    if (PyLong_Check(k)) return integer(k, true);
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                 Py_TYPE(k)->tp_name);
    return false;
  }

  bool sequence(PyObject* seq) {
    Nesting nesting(kWhere);
    if (!nesting.ok()) return false;
    // Subclasses are read through iteration, as PySequence_Fast reads them for json.
    Ref iterated;
    PyObject* items = seq;
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) {
      iterated.reset(PySequence_Fast(seq, "_iterencode_list needs a sequence"));
      if (!iterated) return false;
      items = iterated.get();
    }
    const bool is_list = PyList_Check(items);
    auto size = [&] { return is_list ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items); };
    if (size() == 0) {
      literal("[]", 2);
      return true;
    }
    PathEntry entry(*this, seq);
    if (!entry.ok()) return false;
    literal("[", 1);
    // The size is read again each time: a dict subclass's items() may change the list.
    for (Py_ssize_t i = 0; i < size(); ++i) {
      PyObject* item = is_list ? PyList_GET_ITEM(items, i) : PyTuple_GET_ITEM(items, i);
      if (Py_IS_TYPE(item, &PyFloat_Type)) {
        char* out = out_.reserve(kMaxDoubleText + 2);
        if (i != 0) {
          out[0] = ',';
          out[1] = ' ';
          out += 2;
        }
        out_.commit(write_double(out, PyFloat_AS_DOUBLE(item)));
        continue;
      }
      if (i != 0) literal(", ", 2);
      if (Py_IS_TYPE(item, &PyLong_Type)) {
        if (!integer(item, false)) return false;
        continue;
      }
      // Held while encoded: user code run further down may remove it from the list.
      Ref hold(is_list ? new_ref(item) : nullptr);
      if (!encode(item)) return false;
    }
    literal("]", 1);
    return true;
  }

  bool pair(PyObject* k, PyObject* v) {
    if (!key(k)) return false;
    literal(": ", 2);
    return encode(v);
  }

  bool mapping(PyObject* dict) {
    Nesting nesting(kWhere);
    if (!nesting.ok()) return false;
    if (PyDict_GET_SIZE(dict) == 0) {
      literal("{}", 2);
      return true;
    }
    PathEntry entry(*this, dict);
    if (!entry.ok()) return false;
    literal("{", 1);
    if (PyDict_CheckExact(dict)) {
      // The items as they are now, as json's dict.items() list holds them.
      const std::size_t begin = snapshot_.size();
      snapshot_.reserve(begin + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
      Py_ssize_t pos = 0;
      PyObject* k;
      PyObject* v;
      while (PyDict_Next(dict, &pos, &k, &v)) {
        snapshot_.push_back(new_ref(k));
        snapshot_.push_back(new_ref(v));
      }
      const std::size_t end = snapshot_.size();
      bool ok = true;
      for (std::size_t i = begin; i < end; i += 2) {
        if (i != begin) literal(", ", 2);
        if (!pair(snapshot_[i], snapshot_[i + 1])) {
          ok = false;
          break;
        }
      }
      for (std::size_t i = begin; i < end; ++i) Py_DECREF(snapshot_[i]);
      snapshot_.resize(begin);
      if (!ok) return false;
    } else {
      // Subclasses: what their items() gives, as the C encoder does.
      Ref items(PyMapping_Items(dict));
      if (!items) return false;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item(new_ref(PyList_GET_ITEM(items.get(), i)));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
          PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
          return false;
        }
        if (i != 0) literal(", ", 2);
        if (!pair(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1))) return false;
      }
    }
    literal("}", 1);
    return true;
  }

  bool encode(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return string(value);
    if (type == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(value));
    if (type == &PyLong_Type) return integer(value, false);
    if (value == Py_None) return literal("null", 4);
    if (value == Py_True) return literal("true", 4);
    if (value == Py_False) return literal("false", 5);
    if (type == &PyList_Type || type == &PyTuple_Type) return sequence(value);
    if (type == &PyDict_Type) return mapping(value);
    // Subclasses, in the order json tests them.
    if (PyUnicode_Check(value)) return string(value);
    if (PyLong_Check(value)) return integer(value, false);
    if (PyFloat_Check(value)) return real(PyFloat_AS_DOUBLE(value));
    if (PyList_Check(value) || PyTuple_Check(value)) return sequence(value);
    if (PyDict_Check(value)) return mapping(value);
    return unserializable(value);
  }

  Buffer out_;
  std::vector<PyObject*> path_;
  std::unordered_set<PyObject*> deep_path_;
  std::vector<PyObject*> snapshot_;  // owned references of the dicts being encoded
  bool lone_surrogate_ = false;
  bool non_ascii_ = false;
};

// The encoded bytes and what they hold; false with a Python error set.
struct RawOutput {
  Buffer* buffer = nullptr;
  bool lone_surrogate = false;
  bool non_ascii = false;
};

template <typename Done>
auto with_encoding(PyObject* value, bool ensure_ascii, Done&& done) {
  auto finish = [&](auto& encoder) {
    bool ok = false;
    try {
      ok = encoder.run(value);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
    if (!ok) throw py::error_already_set();
    return done(RawOutput{&encoder.output(), encoder.lone_surrogate(), encoder.non_ascii()});
  };
  if (ensure_ascii) {
    Encoder<true> encoder;
    return finish(encoder);
  }
  Encoder<false> encoder;
  return finish(encoder);
}

PyObject* output_to_str(const RawOutput& raw) {
  const Buffer& buffer = *raw.buffer;
  Py_ssize_t n = static_cast<Py_ssize_t>(buffer.size());
  if (!raw.non_ascii) {
    PyObject* text = PyUnicode_New(n, 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), buffer.data(), buffer.size());
    return text;
  }
  return PyUnicode_DecodeUTF8(buffer.data(), n, raw.lone_surrogate ? "surrogatepass" : nullptr);
}

// ---- decoder -------------------------------------------------------------------------------

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
        for (Py_ssize_t k = first_digit; k < int_end; ++k) magnitude = magnitude * 10 + (data_[k] - '0');
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
    for (Py_ssize_t k = start; k < end; ++k) number_[static_cast<std::size_t>(k - start)] = static_cast<char>(data_[k]);
    return number_.c_str();
  }

  PyObject* cached_key(const CharT* s, Py_ssize_t n) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (Py_ssize_t k = 0; k < n; ++k) hash = (hash ^ static_cast<std::uint64_t>(s[k])) * 1099511628211ULL;
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
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list, k, stack_[base + static_cast<std::size_t>(k)]);
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
  std::vector<PyObject*> stack_;   // items of the arrays being read, owned
  std::vector<Py_UCS4> scratch_;   // characters of a string with escapes
  std::string utf8_;               // the same, as UTF-8, when reading UTF-8
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
    return parse_bytes(PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
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

Encoded encode(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, [](const RawOutput& raw) {
    return Encoded{std::string(raw.buffer->data(), raw.buffer->size()), raw.lone_surrogate};
  });
}

py::str dumps(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, [](const RawOutput& raw) {
    PyObject* text = output_to_str(raw);
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
  });
}

std::string dumps_utf8(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, [](const RawOutput& raw) {
    if (raw.lone_surrogate) {
      // Let str.encode raise its own UnicodeEncodeError, positions and all.
      Ref text(output_to_str(raw));
      if (!text) throw py::error_already_set();
      Ref bytes(PyUnicode_AsUTF8String(text.get()));
      if (!bytes) throw py::error_already_set();
      return std::string(PyBytes_AS_STRING(bytes.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
    return std::string(raw.buffer->data(), raw.buffer->size());
  });
}

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
