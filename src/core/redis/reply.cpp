// Accessors of Reply and the error-code helpers.
#include "core/redis/reply.h"

#include <utility>

namespace mosswork::core::redis {
namespace {

const char* type_name(Reply::Type type) {
  switch (type) {
    case Reply::Type::kNil:
      return "nil";
    case Reply::Type::kInteger:
      return "integer";
    case Reply::Type::kBulk:
      return "bulk";
    case Reply::Type::kStatus:
      return "status";
    case Reply::Type::kError:
      return "error";
    case Reply::Type::kArray:
      return "array";
  }
  return "unknown";
}

[[noreturn]] void wrong_type(Reply::Type have, const char* want) {
  throw TypeMismatch(std::string("Redis reply is ") + type_name(have) + ", not " + want);
}

}  // namespace

Reply Reply::integer(long long value) {
  Reply r;
  r.type_ = Type::kInteger;
  r.integer_ = value;
  return r;
}

Reply Reply::bulk(std::string bytes) { return Reply(Type::kBulk, std::move(bytes)); }

Reply Reply::status(std::string text) { return Reply(Type::kStatus, std::move(text)); }

Reply Reply::error(std::string text) { return Reply(Type::kError, std::move(text)); }

Reply Reply::array(std::vector<Reply> elements) {
  Reply r;
  r.type_ = Type::kArray;
  r.elements_ = std::move(elements);
  return r;
}

long long Reply::integer() const {
  if (type_ != Type::kInteger) wrong_type(type_, "integer");
  return integer_;
}

const std::string& Reply::str() const {
  if (type_ != Type::kBulk && type_ != Type::kStatus && type_ != Type::kError) {
    wrong_type(type_, "a string");
  }
  return str_;
}

std::string& Reply::str() { return const_cast<std::string&>(std::as_const(*this).str()); }

const std::vector<Reply>& Reply::elements() const {
  if (type_ != Type::kArray) wrong_type(type_, "array");
  return elements_;
}

std::vector<Reply>& Reply::elements() {
  return const_cast<std::vector<Reply>&>(std::as_const(*this).elements());
}

const Reply& Reply::value() const {
  if (type_ == Type::kError) throw ReplyError(str_);
  return *this;
}

std::string_view error_code(std::string_view error_text) noexcept {
  std::size_t end = 0;
  while (end < error_text.size() && error_text[end] >= 'A' && error_text[end] <= 'Z') ++end;
  if (end == 0 || (end < error_text.size() && error_text[end] != ' ')) return {};
  return error_text.substr(0, end);
}

bool has_error_code(const ReplyError& error, std::string_view code) noexcept {
  return !code.empty() && error_code(error.what()) == code;
}

std::string to_debug_string(const Reply& reply) {
  switch (reply.type()) {
    case Reply::Type::kNil:
      return "(nil)";
    case Reply::Type::kInteger:
      return "(integer) " + std::to_string(reply.integer());
    case Reply::Type::kBulk:
      return "\"" + reply.str() + "\"";
    case Reply::Type::kStatus:
      return reply.str();
    case Reply::Type::kError:
      return "(error) " + reply.str();
    case Reply::Type::kArray: {
      std::string out = "[";
      for (const Reply& e : reply.elements()) {
        if (out.size() > 1) out += ", ";
        out += to_debug_string(e);
      }
      return out + "]";
    }
  }
  return {};
}

}  // namespace mosswork::core::redis
