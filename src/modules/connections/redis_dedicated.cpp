// Connections a client lends for good: a pipeline that watches keys and a subscription keep one
// connection of the pool to themselves until they close it (the _Connection class).
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "bridge/args.h"
#include "bridge/errors.h"
#include "core/common/errors.h"
#include "modules/connections/redis_binding.h"

namespace py = pybind11;
namespace redis = mosswork::core::redis;
using mosswork::bridge::Domain;
using mosswork::bridge::released;

namespace mosswork::connections {
namespace {}  // namespace

PyRedisConnection::PyRedisConnection(redis::Client client) : client_(std::move(client)) {}
PyRedisConnection::~PyRedisConnection() { close(); }

void PyRedisConnection::open() {
  std::lock_guard guard(mutex_);
  if (!lease_) lease_.emplace(client_.dedicated());
}

void PyRedisConnection::close() noexcept {
  std::lock_guard guard(mutex_);
  if (lease_) {
    lease_->discard();
    lease_.reset();
  }
}

void PyRedisConnection::release() noexcept {
  std::lock_guard guard(mutex_);
  lease_.reset();
}

bool PyRedisConnection::is_open() {
  std::lock_guard guard(mutex_);
  return lease_.has_value();
}

namespace {

// A wait for a reply is cut into slices this long, so that a sender on another thread (a
// subscription made while a listener waits) never waits longer than one slice for the socket.
constexpr redis::Seconds kSlice{0.05};

std::vector<std::string_view> views_of(const std::vector<std::string>& a) {
  return {a.begin(), a.end()};
}

}  // namespace

void bind_dedicated(py::module_& m, py::class_<PyRedis>& redis_cls) {
  py::class_<PyRedisConnection> cls(
      m, "_Connection",
      "One connection of a client's pool, kept until close(): for WATCH ... EXEC and "
      "subscriptions.");
  redis_cls.def(
      "_dedicated",
      [](const PyRedis& r) {
        auto c = std::make_unique<PyRedisConnection>(r.client());
        released(Domain::kRedis, [&] { c->open(); });
        return c;
      },
      "A connection of the pool for the caller alone, connected.");
  cls.def(
         "command",
         [](PyRedisConnection& c, const py::args& args) {
           auto a = encode_command(args);
           auto reply = released(Domain::kRedis, [&] {
             return c.with_connection([&](redis::Connection& conn) {
               auto v = views_of(a);
               return conn.command(std::span<const std::string_view>(v));
             });
           });
           return convert(ReplyShape::kRaw, reply);
         },
         "Sends one command and reads its raw reply; an error reply raises.")
      .def(
          "round_trip",
          [](PyRedisConnection& c, const py::list& commands) {
            std::vector<Args> encoded;
            for (py::handle each : commands) encoded.push_back(encode_command(each));
            redis::CommandBatch batch = batch_of(encoded);
            return raw_list(released(Domain::kRedis, [&] {
              return c.with_connection(
                  [&](redis::Connection& conn) { return conn.round_trip(batch); });
            }));
          },
          py::arg("commands"),
          "Sends the commands in one write; their raw replies, errors in place.")
      .def(
          "send",
          [](PyRedisConnection& c, const py::args& args) {
            auto a = encode_command(args);
            released(Domain::kRedis, [&] {
              c.with_connection([&](redis::Connection& conn) {
                auto v = views_of(a);
                conn.send(std::span<const std::string_view>(v));
              });
            });
          },
          "Sends one command and leaves its reply to read().")
      .def(
          "read",
          [](PyRedisConnection& c, py::object timeout) -> py::object {
            std::optional<redis::Seconds> limit;
            if (!timeout.is_none()) {
              limit = redis::Seconds(std::max(0.0, bridge::arg<double>(timeout, "timeout")));
            }
            auto reply = released(Domain::kRedis, [&]() -> std::optional<redis::Reply> {
              using Clock = std::chrono::steady_clock;
              const auto start = Clock::now();
              for (;;) {
                redis::Seconds slice = kSlice;
                if (limit) {
                  const auto spent =
                      std::chrono::duration_cast<redis::Seconds>(Clock::now() - start);
                  slice = std::min(kSlice, *limit - spent);
                  if (slice.count() < 0) slice = redis::Seconds(0);
                }
                auto r =
                    c.with_connection([&](redis::Connection& conn) { return conn.receive(slice); });
                if (r || (limit && Clock::now() - start >= *limit)) return r;
              }
            });
            if (!reply) return py::none();
            return py::make_tuple(convert(ReplyShape::kRaw, *reply));
          },
          py::arg("timeout") = py::none(),
          "The next reply as a 1-tuple, waiting at most timeout seconds (None: until one comes); "
          "None when none came.")
      .def("close", &PyRedisConnection::close, "Closes the connection; it is not given back.")
      .def("release", &PyRedisConnection::release,
           "Gives the connection back to the pool; the caller must leave it as it found it.")
      .def_property_readonly("is_open", &PyRedisConnection::is_open);
}

}  // namespace mosswork::connections
