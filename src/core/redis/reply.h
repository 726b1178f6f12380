// The value of one Redis (RESP2) reply, and helpers to read the code of an error reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/errors.h"

namespace mosswork::core::redis {

// One reply as the server sent it. Status and bulk replies stay distinct, so a caller can tell
// "+OK" from the bytes "OK". Error replies appear here only inside pipeline or transaction
// results; a command's own error reply is thrown as ReplyError instead.
class Reply {
 public:
  enum class Type : std::uint8_t { kNil, kInteger, kBulk, kStatus, kError, kArray };

  Reply() = default;  // nil
  static Reply integer(long long value);
  static Reply bulk(std::string bytes);
  static Reply status(std::string text);
  static Reply error(std::string text);
  static Reply array(std::vector<Reply> elements);

  Type type() const noexcept { return type_; }
  bool is_nil() const noexcept { return type_ == Type::kNil; }
  bool is_integer() const noexcept { return type_ == Type::kInteger; }
  bool is_bulk() const noexcept { return type_ == Type::kBulk; }
  bool is_status() const noexcept { return type_ == Type::kStatus; }
  bool is_error() const noexcept { return type_ == Type::kError; }
  bool is_array() const noexcept { return type_ == Type::kArray; }

  // The integer of an integer reply; TypeMismatch for any other kind.
  long long integer() const;
  // The bytes of a bulk reply, or the text of a status or error reply; TypeMismatch otherwise.
  const std::string& str() const;
  std::string& str();
  // The elements of an array reply; TypeMismatch otherwise.
  const std::vector<Reply>& elements() const;
  std::vector<Reply>& elements();
  // Throws the ReplyError an error reply carries; any other reply is returned unchanged.
  const Reply& value() const;

  friend bool operator==(const Reply& a, const Reply& b) = default;

 private:
  // The three kinds that carry text: bulk, status, error.
  Reply(Type type, std::string text) : type_(type), str_(std::move(text)) {}

  Type type_ = Type::kNil;
  long long integer_ = 0;
  std::string str_;
  std::vector<Reply> elements_;
};

// The code word an error reply starts with ("ERR", "READONLY", "NOSCRIPT", "WRONGTYPE" ...):
// the text up to the first space, when it is all upper-case letters; empty otherwise.
std::string_view error_code(std::string_view error_text) noexcept;
// Whether the ReplyError's server text starts with this code word.
bool has_error_code(const ReplyError& error, std::string_view code) noexcept;

// A short readable form for tests and logs: bulk bytes quoted, arrays bracketed.
std::string to_debug_string(const Reply& reply);

}  // namespace mosswork::core::redis
