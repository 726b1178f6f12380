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
// Only commands whose redis-py method takes exactly these parameters and whose reply shape is
// exactly its callback's; everything else runs redis-py's own method over execute_command.
constexpr Command kCommands[] = {
    {"get", "GET", {arg("name")}, R::kRaw, "The value at name as bytes, or None."},
    {"delete", "DEL", {rest("names")}, R::kRaw, "Deletes the names; how many existed."},
    {"exists", "EXISTS", {rest("names")}, R::kRaw, "How many of the names exist."},
    {"ttl", "TTL", {arg("name")}, R::kRaw, "Seconds until name lapses (-1 never, -2 absent)."},
    {"incr", "INCRBY", {arg("name"), int_or("amount", 1)}, R::kRaw,
     "Adds amount to the integer at name; the new value."},
    {"hget", "HGET", {arg("name"), arg("key")}, R::kRaw, "The field key of hash name, or None."},
    {"hgetall", "HGETALL", {arg("name")}, R::kPairs, "Hash name as a dict of bytes."},
    {"hdel", "HDEL", {arg("name"), rest("keys")}, R::kRaw,
     "Deletes the fields keys of hash name; how many existed."},
    {"hexists", "HEXISTS", {arg("name"), arg("key")}, R::kBool,
     "Whether hash name has field key."},
    {"hlen", "HLEN", {arg("name")}, R::kRaw, "The number of fields of hash name."},
    {"sadd", "SADD", {arg("name"), rest("values")}, R::kRaw,
     "Adds the values to set name; how many were new."},
    {"srem", "SREM", {arg("name"), rest("values")}, R::kRaw,
     "Removes the values from set name; how many were there."},
    {"scard", "SCARD", {arg("name")}, R::kRaw, "The number of members of set name."},
    {"smembers", "SMEMBERS", {arg("name")}, R::kMembers, "The members of set name as a set."},
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

py::object run_row(py::handle self, Args args, ReplyShape shape);

template <Kind K>
struct ParamType {
  using type = py::object;
};
template <>
struct ParamType<Kind::kRest> {
  using type = py::args;
};

py::object as_object(py::object v) { return v; }

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

template <std::size_t Row, typename Class, std::size_t... I, std::size_t... J>
void bind_row(Class& cls, std::index_sequence<I...>, std::index_sequence<J...>) {
  constexpr const Command& c = kCommands[Row];
  cls.def(
      c.method,
      [](py::object self, typename ParamType<kCommands[Row].params[I].kind>::type... values) {
        const std::array<py::object, sizeof...(I)> given{as_object(std::move(values))...};
        const Command& row = kCommands[Row];
        return run_row(self, build(row, given), row.reply);
      },
      annotation<Row, J>()..., c.doc);
}

template <typename Class, std::size_t... Row>
void bind_rows(Class& cls, std::index_sequence<Row...>) {
  (bind_row<Row>(cls, std::make_index_sequence<kCommands[Row].count()>{},
                 std::make_index_sequence<kCommands[Row].named()>{}),
   ...);
}

// A table row runs at once on a connection of the pool.
py::object run_row(py::handle self, Args args, ReplyShape shape) {
  const core::redis::Client& client = bridge::arg<const PyRedis&>(self, "self").client();
  auto reply = released(Domain::kRedis, [&] {
    std::vector<std::string_view> views(args.begin(), args.end());
    return client.command(std::span<const std::string_view>(views));
  });
  return convert(shape, reply);
}

// execute_command as redis-py's Redis runs it: the reply goes through the client's response
// callback for the command, with the options the command methods pass.
py::object execute_command(py::object self, const py::args& args, const py::kwargs& options) {
  if (args.size() == 0) throw py::type_error("execute_command needs a command name");
  Args a = encode_command(args);
  const core::redis::Client& client = bridge::arg<const PyRedis&>(self, "self").client();
  py::object reply;
  try {
    reply = convert(ReplyShape::kRaw, released(Domain::kRedis, [&] {
                      std::vector<std::string_view> views(a.begin(), a.end());
                      return client.command(std::span<const std::string_view>(views));
                    }));
  } catch (py::error_already_set& e) {
    if (options.contains("EMPTY_RESPONSE") && e.matches(bridge::exception_class("ResponseError"))) {
      return options["EMPTY_RESPONSE"];
    }
    throw;
  }
  return parse_reply(self, args[0], std::move(reply), options);
}

// One round trip for a list of commands (each a sequence of arguments): the raw replies, error
// replies as exception objects in their place, as a pipeline reads them.
py::list round_trip(const PyRedis& r, const py::list& commands) {
  std::vector<Args> encoded;
  encoded.reserve(commands.size());
  for (py::handle c : commands) encoded.push_back(encode_command(c));
  redis::CommandBatch batch = batch_of(encoded);
  const core::redis::Client& client = r.client();
  return raw_list(released(Domain::kRedis, [&] { return client.round_trip(batch); }));
}

}  // namespace

py::object convert(ReplyShape shape, const redis::Reply& r) {
  if (r.is_error()) return raw(r);
  switch (shape) {
    case R::kRaw:
      break;
    case R::kBool:
      return py::bool_(r.is_integer() ? r.integer() != 0 : !r.is_nil());
    case R::kPairs:
      if (r.is_array()) return pairs_to_dict(r);
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

Args encode_command(py::handle values) {
  Args a;
  bool first = true;
  for (py::handle each : values) {
    std::string v = bridge::redis_arg(each);
    if (!first) {
      a.push_back(std::move(v));
      continue;
    }
    first = false;
    // A name of several words ("SCRIPT LOAD", "CONFIG GET") is sent as one argument a word,
    // as redis-py packs it.
    std::size_t i = 0;
    auto space = [&](std::size_t k) { return std::isspace(static_cast<unsigned char>(v[k])); };
    while (i < v.size()) {
      while (i < v.size() && space(i)) ++i;
      std::size_t j = i;
      while (j < v.size() && !space(j)) ++j;
      if (j > i) a.push_back(v.substr(i, j - i));
      i = j;
    }
  }
  if (a.empty()) throw py::type_error("a Redis command needs at least its name");
  return a;
}

redis::CommandBatch batch_of(const std::vector<Args>& commands) {
  redis::CommandBatch batch;
  std::size_t total = 0;
  for (const auto& c : commands) total += c.size();
  batch.reserve(commands.size(), total);
  std::vector<std::string_view> views;
  for (const auto& c : commands) {
    if (c.empty()) throw py::value_error("a Redis command needs at least its name");
    views.assign(c.begin(), c.end());
    batch.add(std::span<const std::string_view>(views));
  }
  return batch;
}

py::list raw_list(const std::vector<redis::Reply>& replies) {
  py::list out(replies.size());
  for (std::size_t i = 0; i < replies.size(); ++i) out[i] = convert(ReplyShape::kRaw, replies[i]);
  return out;
}

py::object parse_reply(py::handle self, py::handle command_name, py::object reply,
                       const py::dict& options) {
  if (options.size() != 0) {
    // NEVER_DECODE matters only to clients that decode, and these hand out bytes.
    for (const char* key : {"keys", "EMPTY_RESPONSE", "NEVER_DECODE"}) {
      if (options.contains(key)) PyDict_DelItemString(options.ptr(), key);
    }
  }
  py::object callback = self.attr("response_callbacks").attr("get")(command_name);
  if (callback.is_none()) return reply;
  return callback(std::move(reply), **options);
}

void bind_redis_commands(py::class_<PyRedis>& redis) {
  redis
      .def("execute_command", &execute_command,
           "Sends one command; the reply as redis-py returns it, through response_callbacks.")
      .def("_round_trip", &round_trip, py::arg("commands"),
           "Sends the commands in one write; their raw replies, errors in place.");
  bind_rows(redis, std::make_index_sequence<std::size(kCommands)>{});
}

}  // namespace mosswork::connections
