// The bridge's JSON encoder: Python values to the text json.dumps writes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "bridge/json_codec.h"
#include "bridge/json_support.h"
#include "core/common/json_text.h"

namespace py = pybind11;

namespace mosswork::bridge::json {
namespace {

using detail::class_name_of;
using detail::ensure_ready;
using detail::Nesting;
using detail::new_ref;
using detail::Ref;

// Output bytes; realloc lets large outputs grow in place instead of being copied. ASCII output
// that is to become a str is written straight into a compact ASCII str, grown and finally shrunk
// with PyUnicode_Resize, which spares a copy of the whole text.
class Buffer {
 public:
  explicit Buffer(bool into_str) {
    if (into_str) {
      str_ = PyUnicode_New(kFirstStr, 127);
      if (str_ == nullptr) throw std::bad_alloc();
      data_ = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_));
      capacity_ = kFirstStr;
    }
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (str_ != nullptr) {
      Py_DECREF(str_);
    } else {
      std::free(data_);
    }
  }

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

  // The bytes written (not into a str), handed to the caller, who frees them with std::free.
  EncodedText release() {
    if (size_ < capacity_ && size_ > 0) {
      // Large blocks shrink in place; a failure keeps the larger block, still valid.
      if (void* shrunk = std::realloc(data_, size_)) data_ = static_cast<char*>(shrunk);
    }
    EncodedText text(data_, size_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    return text;
  }
  std::size_t size() const { return size_; }
  bool holds_str() const { return str_ != nullptr; }

  // The str holding the output (holds_str()), shrunk to it; null with the error set.
  PyObject* take_str() {
    PyObject* text = str_;
    if (PyUnicode_Resize(&text, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
    str_ = nullptr;
    data_ = nullptr;
    return text;
  }

 private:
  static constexpr std::size_t kFirstStr = 256;

  void grow(std::size_t n) {
    std::size_t wanted = std::max({capacity_ * 2, size_ + n, std::size_t{4096}});
    if (str_ != nullptr) {
      // On failure the str is left as it was, still ours.
      if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(wanted)) < 0) {
        PyErr_Clear();
        throw std::bad_alloc();
      }
      data_ = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_));
    } else {
      void* grown = std::realloc(data_, wanted);
      if (grown == nullptr) throw std::bad_alloc();
      data_ = static_cast<char*>(grown);
    }
    capacity_ = wanted;
  }

  PyObject* str_ = nullptr;  // owned; the output's storage when it is to become a str
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

template <bool kAscii>
class Encoder {
 public:
  explicit Encoder(bool into_str) : out_(into_str) {}
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() {
    for (PyObject* object : snapshot_) Py_DECREF(object);
  }

  bool run(PyObject* value) { return encode(value); }

  Buffer& output() { return out_; }
  bool lone_surrogate() const { return state_.lone_surrogate; }
  bool non_ascii() const { return state_.non_ascii; }

 private:
  static constexpr const char* kWhere = " while encoding a JSON object";
  static constexpr std::size_t kChunk = 4096;     // characters escaped per reservation
  static constexpr std::size_t kLinearPath = 48;  // ancestors compared one by one

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
    bool seen =
        std::find(path_.begin(), path_.begin() + linear, container) != path_.begin() + linear;
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
    char* out = out_.reserve(core::json::kMaxDoubleText);
    out_.commit(core::json::write_double(out, value));
    return true;
  }

  bool integer(PyObject* value, bool quoted) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) return false;
      char* out = out_.reserve(core::json::kMaxIntegerText + 2);
      if (quoted) *out++ = '"';
      out = core::json::write_integer(out, small);
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

  // The characters of a str, escaped a chunk at a time so that one reservation covers each.
  template <typename CharT>
  void chars(const CharT* s, std::size_t n) {
    constexpr std::size_t kMaxPerChar =
        sizeof(CharT) == 1 ? core::json::kMaxEscapedNarrow : core::json::kMaxEscapedWide;
    while (n > 0) {
      std::size_t chunk = std::min(n, kChunk);
      char* out = out_.reserve(kMaxPerChar * chunk);
      out_.commit(core::json::write_escaped<kAscii>(out, s, chunk, state_));
      s += chunk;
      n -= chunk;
    }
  }

  bool string(PyObject* text) {
    if (!ensure_ready(text)) return false;
    std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    out_.put('"');
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        chars(PyUnicode_1BYTE_DATA(text), n);
        break;
      case PyUnicode_2BYTE_KIND:
        chars(PyUnicode_2BYTE_DATA(text), n);
        break;
      default:
        chars(PyUnicode_4BYTE_DATA(text), n);
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
      char* out = out_.reserve(core::json::kMaxDoubleText + 2);
      *out++ = '"';
      out = core::json::write_double(out, PyFloat_AS_DOUBLE(k));
      *out++ = '"';
      out_.commit(out);
      return true;
    }
    if (k == Py_True || k == Py_False || k == Py_None) {
      literal(k == Py_True    ? "\"true\""
              : k == Py_False ? "\"false\""
                              : "\"null\"",
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
        char* out = out_.reserve(core::json::kMaxDoubleText + 2);
        if (i != 0) {
          out[0] = ',';
          out[1] = ' ';
          out += 2;
        }
        out_.commit(core::json::write_double(out, PyFloat_AS_DOUBLE(item)));
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
  core::json::EscapeState state_;
};

// The encoded bytes and what they hold; false with a Python error set.
struct RawOutput {
  Buffer* buffer = nullptr;
  bool lone_surrogate = false;
  bool non_ascii = false;
};

// into_str: the caller wants a str, which ASCII output is then written into directly.
template <typename Done>
auto with_encoding(PyObject* value, bool ensure_ascii, bool into_str, Done&& done) {
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
  try {
    if (ensure_ascii) {
      Encoder<true> encoder(into_str);
      return finish(encoder);
    }
    Encoder<false> encoder(false);
    return finish(encoder);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    throw py::error_already_set();
  }
}

PyObject* output_to_str(const RawOutput& raw) {
  Buffer& buffer = *raw.buffer;
  if (buffer.holds_str()) return buffer.take_str();
  Py_ssize_t n = static_cast<Py_ssize_t>(buffer.size());
  if (!raw.non_ascii) {
    PyObject* text = PyUnicode_New(n, 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), buffer.data(), buffer.size());
    return text;
  }
  return PyUnicode_DecodeUTF8(buffer.data(), n, raw.lone_surrogate ? "surrogatepass" : nullptr);
}

}  // namespace

Encoded encode(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, false, [](const RawOutput& raw) {
    return Encoded{raw.buffer->release(), raw.lone_surrogate};
  });
}

py::str dumps(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, true, [](const RawOutput& raw) {
    PyObject* text = output_to_str(raw);
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
  });
}

std::string dumps_utf8(py::handle value, bool ensure_ascii) {
  return with_encoding(value.ptr(), ensure_ascii, false, [](const RawOutput& raw) {
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

}  // namespace mosswork::bridge::json
