// The Redis command methods of Redis and Pipeline: one table row per Python method, bound by one
// generic binder, and the reply conversions of redis-py's response callbacks.
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <span>
#include <utility>

#include "bridge/args.h"
#include "bridge/errors.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {

std::string upper(std::string_view s) {
  std::string u(s);
  std::transform(u.begin(), u.end(), u.begin(), [](unsigned char c) { return std::toupper(c); });
  return u;
}

py::object raw(const redis::Reply& r) {
  switch (r.type()) {
    case redis::Reply::Type::kNil:
      return py::none();
    case redis::Reply::Type::kInteger:
      return py::int_(r.integer());
    case redis::Reply::Type::kBulk:
    case redis::Reply::Type::kStatus:
      return py::bytes(r.str());
    case redis::Reply::Type::kError: {
      // Inside pipeline results, as redis-py returns them when not raising.
      try {
        throw core::ReplyError(r.str());
      } catch (...) {
        bridge::set_python_error(std::current_exception(), Domain::kRedis);
      }
      py::error_already_set e;
      return e.value();
    }
    case redis::Reply::Type::kArray: {
      py::list l(r.elements().size());
      std::size_t i = 0;
      for (const auto& e : r.elements()) l[i++] = raw(e);
      return l;
    }
  }
  return py::none();
}

py::dict pairs_to_dict(const redis::Reply& r) {
  py::dict d;
  const auto& el = r.elements();
  for (std::size_t i = 0; i + 1 < el.size(); i += 2) d[raw(el[i])] = raw(el[i + 1]);
  return d;
}

// ---- the table ------------------------------------------------------------------------------

// How one Python parameter becomes command arguments.
enum class Kind : unsigned char {
  kArg,        // required; encoded
  kArgOr,      // with a default; encoded
  kRest,       // *args, each encoded (last)
  kOption,     // keyword, None = left out; else its word, then the value
  kFlag,       // keyword bool, False = left out; else its word
  kPairKey,    // keyword, None = left out; else it and the next parameter's value
  kPairValue,  // the value that goes with the kPairKey before it
  kMapping,    // keyword dict, None = left out; else its items as key, value, ...
};

struct Param {
  const char* name = nullptr;
  Kind kind = Kind::kArg;
  const char* word = nullptr;          // kOption, kFlag
  const char* text_default = nullptr;  // kArgOr with a text default
  long long int_default = 0;           // kArgOr with an integer default
};

constexpr Param arg(const char* name) { return {name, Kind::kArg}; }
constexpr Param int_or(const char* name, long long d) {
  return {name, Kind::kArgOr, nullptr, nullptr, d};
}
constexpr Param text_or(const char* name, const char* d) {
  return {name, Kind::kArgOr, nullptr, d};
}
constexpr Param rest(const char* name) { return {name, Kind::kRest}; }
constexpr Param option(const char* name, const char* word) { return {name, Kind::kOption, word}; }
constexpr Param flag(const char* name, const char* word) { return {name, Kind::kFlag, word}; }
constexpr Param pair_key(const char* name) { return {name, Kind::kPairKey}; }
constexpr Param pair_value(const char* name) { return {name, Kind::kPairValue}; }
constexpr Param mapping(const char* name) { return {name, Kind::kMapping}; }

constexpr std::size_t kMaxParams = 7;

struct Command {
  const char* method;  // the Python method
  const char* word;    // the command sent
  std::array<Param, kMaxParams> params;
  ReplyShape reply;
  const char* doc;
  const char* if_empty = nullptr;  // DataError text when nothing follows the required arguments

  constexpr std::size_t count() const {
    std::size_t n = 0;
    while (n < kMaxParams && params[n].name) ++n;
    return n;
  }
  // Parameters with a py::arg annotation: all but *args.
  constexpr std::size_t named() const {
    std::size_t n = count();
    return n > 0 && params[n - 1].kind == Kind::kRest ? n - 1 : n;
  }
};

using R = ReplyShape;

// clang-format off
constexpr Command kCommands[] = {
    {"ping", "PING", {}, R::kPong, "PING; True when the server answers PONG."},
    {"get", "GET", {arg("name")}, R::kRaw, "The value at name as bytes, or None."},
    {"set", "SET",
     {arg("name"), arg("value"), option("ex", "EX"), option("px", "PX"), flag("nx", "NX"),
      flag("xx", "XX"), flag("get", "GET")},
     R::kSet,
     "Sets name to value; True, or None when nx/xx refused it (the old value with get)."},
    {"delete", "DEL", {rest("names")}, R::kRaw, "Deletes the names; how many existed."},
    {"exists", "EXISTS", {rest("names")}, R::kRaw, "How many of the names exist."},
    {"keys", "KEYS", {text_or("pattern", "*")}, R::kRaw, "The key names matching pattern."},
    {"expire", "EXPIRE", {arg("name"), arg("time")}, R::kBool,
     "Lets name lapse after time seconds; False when it does not exist."},
    {"ttl", "TTL", {arg("name")}, R::kRaw, "Seconds until name lapses (-1 never, -2 absent)."},
    {"incr", "INCRBY", {arg("name"), int_or("amount", 1)}, R::kRaw,
     "Adds amount to the integer at name; the new value."},
    {"hget", "HGET", {arg("name"), arg("key")}, R::kRaw, "The field key of hash name, or None."},
    {"hset", "HSET",
     {arg("name"), pair_key("key"), pair_value("value"), mapping("mapping")},
     R::kRaw, "Sets key to value and the items of mapping in hash name; how many were added.",
     "'hset' with no key value pairs"},
    {"hgetall", "HGETALL", {arg("name")}, R::kPairs, "Hash name as a dict of bytes."},
    {"hdel", "HDEL", {arg("name"), rest("keys")}, R::kRaw,
     "Deletes the fields keys of hash name; how many existed."},
    {"hexists", "HEXISTS", {arg("name"), arg("key")}, R::kBool,
     "Whether hash name has field key."},
    {"hlen", "HLEN", {arg("name")}, R::kRaw, "The number of fields of hash name."},
    {"hscan", "HSCAN",
     {arg("name"), int_or("cursor", 0), option("match", "MATCH"), option("count", "COUNT")},
     R::kScanPairs, "One page of hash name: (next cursor, dict of the page's fields)."},
    {"sadd", "SADD", {arg("name"), rest("values")}, R::kRaw,
     "Adds the values to set name; how many were new."},
    {"srem", "SREM", {arg("name"), rest("values")}, R::kRaw,
     "Removes the values from set name; how many were there."},
    {"scard", "SCARD", {arg("name")}, R::kRaw, "The number of members of set name."},
    {"smembers", "SMEMBERS", {arg("name")}, R::kMembers, "The members of set name as a set."},
    {"sismember", "SISMEMBER", {arg("name"), arg("value")}, R::kBool,
     "Whether value is a member of set name."},
    {"flushdb", "FLUSHDB", {}, R::kOk, "Deletes every key of the database."},
};
// clang-format on

constexpr bool rest_only_last() {
  for (const Command& c : kCommands) {
    for (std::size_t i = 0; i + 1 < c.count(); ++i) {
      if (c.params[i].kind == Kind::kRest) return false;
    }
  }
  return true;
}
static_assert(rest_only_last(), "*args must be the last parameter");

// The command arguments of one call of row c; values holds one object per parameter.
Args build(const Command& c, std::span<const py::object> values) {
  Args a;
  a.emplace_back(c.word);
  std::size_t required = 1;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Param& p = c.params[i];
    py::handle v = values[i];
    switch (p.kind) {
      case Kind::kArg:
        ++required;
        [[fallthrough]];
      case Kind::kArgOr:
        a.push_back(bridge::redis_arg(v));
        break;
      case Kind::kRest:
        for (py::handle each : v) a.push_back(bridge::redis_arg(each));
        break;
      case Kind::kOption:
        if (!v.is_none()) {
          a.emplace_back(p.word);
          a.push_back(bridge::redis_arg(v));
        }
        break;
      case Kind::kFlag:
        if (v.ptr() == Py_True) a.emplace_back(p.word);
        break;
      case Kind::kPairKey:
        if (!v.is_none()) {
          a.push_back(bridge::redis_arg(v));
          a.push_back(bridge::redis_arg(values[i + 1]));
        }
        break;
      case Kind::kPairValue:
        break;
      case Kind::kMapping:
        if (!v.is_none()) {
          for (auto item : bridge::arg<py::dict>(v, p.name)) {
            a.push_back(bridge::redis_arg(item.first));
            a.push_back(bridge::redis_arg(item.second));
          }
        }
        break;
    }
  }
  if (c.if_empty && a.size() == required) raise_class("DataError", c.if_empty);
  return a;
}

// ---- the generic binder ---------------------------------------------------------------------

template <Kind K>
struct ParamType {
  using type = py::object;
};
template <>
struct ParamType<Kind::kRest> {
  using type = py::args;
};
template <>
struct ParamType<Kind::kFlag> {
  using type = bool;
};

py::object as_object(py::object v) { return v; }
py::object as_object(bool v) { return py::bool_(v); }

template <std::size_t Row, std::size_t I>
auto annotation() {
  constexpr const Param& p = kCommands[Row].params[I];
  if constexpr (p.kind == Kind::kArg) {
    return py::arg(p.name);
  } else if constexpr (p.kind == Kind::kArgOr && p.text_default != nullptr) {
    return py::arg(p.name) = p.text_default;
  } else if constexpr (p.kind == Kind::kArgOr) {
    return py::arg(p.name) = p.int_default;
  } else if constexpr (p.kind == Kind::kFlag) {
    return py::arg(p.name) = false;
  } else {
    return py::arg(p.name) = py::none();
  }
}

template <typename Call, std::size_t Row, typename Class, std::size_t... I, std::size_t... J>
void bind_row(Class& cls, std::index_sequence<I...>, std::index_sequence<J...>) {
  constexpr const Command& c = kCommands[Row];
  cls.def(
      c.method,
      [](py::object self, typename ParamType<kCommands[Row].params[I].kind>::type... values) {
        const std::array<py::object, sizeof...(I)> given{as_object(std::move(values))...};
        const Command& row = kCommands[Row];
        return Call::call(self, build(row, given), row.reply);
      },
      annotation<Row, J>()..., c.doc);
}

template <typename Call, typename Class, std::size_t... Row>
void bind_rows(Class& cls, std::index_sequence<Row...>) {
  (bind_row<Call, Row>(cls, std::make_index_sequence<kCommands[Row].count()>{},
                       std::make_index_sequence<kCommands[Row].named()>{}),
   ...);
}

// How a command runs: Redis sends it at once, Pipeline queues it and returns itself.
struct RedisCall {
  static py::object call(py::handle self, Args args, ReplyShape shape) {
    const core::redis::Client& client = bridge::arg<const PyRedis&>(self, "self").client();
    auto reply = released(Domain::kRedis, [&] {
      std::vector<std::string_view> views(args.begin(), args.end());
      return client.command(std::span<const std::string_view>(views));
    });
    return convert(shape, reply);
  }
};

struct PipelineCall {
  static py::object call(py::handle self, Args args, ReplyShape shape) {
    return bridge::arg<PyPipeline&>(self, "self").queue(self, std::move(args), shape);
  }
};

template <typename Call, typename Class>
void bind_commands(Class& cls) {
  cls.def(
      "execute_command",
      [](py::object self, const py::args& args, const py::kwargs&) {
        if (args.size() == 0) throw py::type_error("execute_command needs a command name");
        Args a;
        a.reserve(args.size());
        for (py::handle each : args) a.push_back(bridge::redis_arg(each));
        ReplyShape shape = reply_shape(a.front());
        return Call::call(self, std::move(a), shape);
      },
      "Sends one command; the reply as redis-py returns it.");
  bind_rows<Call>(cls, std::make_index_sequence<std::size(kCommands)>{});
}

}  // namespace

ReplyShape reply_shape(std::string_view command) {
  static constexpr std::pair<const char*, ReplyShape> kShapes[] = {
      {"AUTH", R::kBool},        {"COPY", R::kBool},      {"EXPIRE", R::kBool},
      {"EXPIREAT", R::kBool},    {"HEXISTS", R::kBool},   {"HMSET", R::kBool},
      {"MOVE", R::kBool},        {"MSETNX", R::kBool},    {"PERSIST", R::kBool},
      {"PSETEX", R::kBool},      {"RENAMENX", R::kBool},  {"SISMEMBER", R::kBool},
      {"SMOVE", R::kBool},       {"SETEX", R::kBool},     {"SETNX", R::kBool},
      {"PEXPIRE", R::kBool},     {"PEXPIREAT", R::kBool}, {"FLUSHALL", R::kOk},
      {"FLUSHDB", R::kOk},       {"LSET", R::kOk},        {"LTRIM", R::kOk},
      {"MSET", R::kOk},          {"PFMERGE", R::kOk},     {"RENAME", R::kOk},
      {"SAVE", R::kOk},          {"SELECT", R::kOk},      {"SHUTDOWN", R::kOk},
      {"SLAVEOF", R::kOk},       {"SWAPDB", R::kOk},      {"WATCH", R::kOk},
      {"UNWATCH", R::kOk},       {"ASKING", R::kOk},      {"PING", R::kPong},
      {"SET", R::kSet},          {"HGETALL", R::kPairs},  {"HSCAN", R::kScanPairs},
      {"ZSCAN", R::kScanPairs},  {"SCAN", R::kScan},      {"SSCAN", R::kScan},
      {"SMEMBERS", R::kMembers}, {"SDIFF", R::kMembers},  {"SINTER", R::kMembers},
      {"SUNION", R::kMembers},
  };
  const std::string word = upper(command);
  for (const auto& [name, shape] : kShapes) {
    if (word == name) return shape;
  }
  return R::kRaw;
}

py::object convert(ReplyShape shape, const redis::Reply& r) {
  if (r.is_error()) return raw(r);
  switch (shape) {
    case R::kRaw:
      break;
    case R::kBool:
      return py::bool_(r.is_integer() ? r.integer() != 0 : !r.is_nil());
    case R::kOk:
      return py::bool_(r.is_status() && r.str() == "OK");
    case R::kPong:
      return py::bool_(r.is_status() && r.str() == "PONG");
    case R::kSet:
      if (r.is_status()) return py::bool_(r.str() == "OK");
      break;
    case R::kPairs:
      if (r.is_array()) return pairs_to_dict(r);
      break;
    case R::kScanPairs:
      if (r.is_array() && r.elements().size() == 2) {
        return py::make_tuple(py::int_(py::str(r.elements()[0].str())),
                              pairs_to_dict(r.elements()[1]));
      }
      break;
    case R::kScan:
      if (r.is_array() && r.elements().size() == 2) {
        return py::make_tuple(py::int_(py::str(r.elements()[0].str())), raw(r.elements()[1]));
      }
      break;
    case R::kMembers:
      if (r.is_array()) {
        py::set s;
        for (const auto& e : r.elements()) s.add(raw(e));
        return s;
      }
      break;
  }
  return raw(r);
}

py::object PyPipeline::queue(py::handle self, Args args, ReplyShape shape) {
  queued_.push_back(std::move(args));
  shapes_.push_back(shape);
  return py::reinterpret_borrow<py::object>(self);
}

py::list PyPipeline::execute(bool raise_on_error) {
  std::vector<Args> queued = std::move(queued_);
  std::vector<ReplyShape> shapes = std::move(shapes_);
  reset();
  py::list out;
  if (queued.empty()) return out;
  auto replies = released(Domain::kRedis, [&] {
    redis::CommandBatch batch;
    std::size_t total = 0;
    for (const auto& c : queued) total += c.size();
    batch.reserve(queued.size(), total);
    std::vector<std::string_view> views;
    for (const auto& c : queued) {
      views.assign(c.begin(), c.end());
      batch.add(std::span<const std::string_view>(views));
    }
    return client_.pipeline(batch, transaction_, raise_on_error);
  });
  for (std::size_t i = 0; i < replies.size(); ++i) out.append(convert(shapes[i], replies[i]));
  return out;
}

void PyPipeline::reset() {
  queued_.clear();
  shapes_.clear();
}

void bind_redis_commands(py::class_<PyRedis>& redis, py::class_<PyPipeline>& pipeline) {
  bind_commands<RedisCall>(redis);
  bind_commands<PipelineCall>(pipeline);
}

}  // namespace mosswork::connections
