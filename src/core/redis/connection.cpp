// Connection over a blocking hiredis context, and the flat command batch of pipelines.
#include "core/redis/connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <new>
#include <utility>

#include "core/common/chrono_units.h"
#include "core/common/errors.h"
#include "core/redis/hiredis_compat.h"

namespace mosswork::core::redis {
namespace {

constexpr std::size_t kStackArgs = 16;

// Rounded to the microsecond; negative counts as zero.
timeval socket_timeval(Seconds s) {
  timeval tv = to_timeval(round_seconds<std::chrono::microseconds>(s.count()));
  // A zero timeval would mean "no time-out" to the kernel; keep the smallest real one.
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

struct ReplyFree {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

}  // namespace

// ---- CommandBatch ------------------------------------------------------------------------------

CommandBatch& CommandBatch::add(std::span<const std::string_view> args) {
  if (args.empty()) throw InvalidArgument("a Redis command needs at least its name");
  starts_.push_back(args_.size());
  args_.insert(args_.end(), args.begin(), args.end());
  return *this;
}

CommandBatch& CommandBatch::add(std::initializer_list<std::string_view> args) {
  return add(std::span<const std::string_view>(args.begin(), args.size()));
}

std::span<const std::string_view> CommandBatch::operator[](std::size_t i) const noexcept {
  const std::size_t begin = starts_[i];
  const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : args_.size();
  return {args_.data() + begin, end - begin};
}

std::string_view CommandBatch::keep(std::string value) {
  return kept_.emplace_back(std::move(value));
}

void CommandBatch::clear() noexcept {
  args_.clear();
  starts_.clear();
  kept_.clear();
}

void CommandBatch::reserve(std::size_t commands, std::size_t args) {
  starts_.reserve(commands);
  args_.reserve(args);
}

// ---- Connection --------------------------------------------------------------------------------

void Connection::ContextFree::operator()(redisContext* context) const noexcept {
  // redisFree only closes the descriptor and frees memory: nothing goes out on the wire,
  // so it is also the right way to drop a socket inherited through fork().
  redisFree(context);
}

Connection::Connection(ConnectionOptions options) : options_(std::move(options)) {}

Connection::~Connection() = default;

pid_t Connection::current_pid() const noexcept { return vouched_pid_ ? vouched_pid_ : getpid(); }

bool Connection::connected() const noexcept { return connected_in(current_pid()); }

void Connection::disconnect() noexcept { context_.reset(); }

void Connection::mark_broken() noexcept {
  broken_ = true;
  context_.reset();
}

bool Connection::has_pending_input() const noexcept {
  if (!context_) return false;
  pollfd p{context_->fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc != 0;  // readable, hung up, or poll itself failed: do not trust it
}

void Connection::connect() { ensure_connected(); }

void Connection::connect_to(std::string host, int port) {
  if (context_ && (host != options_.host || port != options_.port)) context_.reset();
  options_.host = std::move(host);
  options_.port = port;
  ensure_connected();
}

void Connection::ensure_connected() {
  if (context_) {
    if (pid_ == current_pid()) return;
    context_.reset();  // inherited through fork(): the parent still uses this socket
  }
  open_socket();
}

void Connection::open_socket() {
  const std::optional<Seconds> connect_timeout =
      options_.connect_timeout ? options_.connect_timeout : options_.socket_timeout;
  errno = 0;
  ContextPtr context(connect_timeout ? redisConnectWithTimeout(options_.host.c_str(), options_.port,
                                                               socket_timeval(*connect_timeout))
                                     : redisConnect(options_.host.c_str(), options_.port));
  const int saved_errno = errno;
  if (!context) throw std::bad_alloc();
  if (context->err) {
    hiredis::throw_context_error(*context, saved_errno, hiredis::Phase::kConnect, options_.host,
                                 options_.port);
  }
  if (options_.socket_timeout &&
      redisSetTimeout(context.get(), socket_timeval(*options_.socket_timeout)) != REDIS_OK) {
    hiredis::throw_context_error(*context, errno, hiredis::Phase::kConnect, options_.host,
                                 options_.port);
  }
  // Not inherited by programs the process executes (Python's sockets behave the same).
  const int fd_flags = ::fcntl(context->fd, F_GETFD);
  if (fd_flags >= 0) ::fcntl(context->fd, F_SETFD, fd_flags | FD_CLOEXEC);
  context_ = std::move(context);
  pid_ = current_pid();
  broken_ = false;
  try {
    authenticate();
    if (options_.db != 0) {
      const std::string db = std::to_string(options_.db);
      command({"SELECT", db});
    }
  } catch (...) {
    // A half-set-up session (wrong password, bad db) must not serve commands.
    mark_broken();
    throw;
  }
}

void Connection::authenticate() {
  if (options_.username.empty() && options_.password.empty()) return;
  if (options_.username.empty()) {
    command({"AUTH", options_.password});
    return;
  }
  try {
    command({"AUTH", options_.username, options_.password});
  } catch (const ReplyError& e) {
    // Servers before 6.0 know only AUTH <password>.
    if (std::string_view(e.what()).starts_with("ERR wrong number of arguments")) {
      command({"AUTH", options_.password});
      return;
    }
    throw;
  }
}

void Connection::append(std::span<const std::string_view> args) {
  std::array<const char*, kStackArgs> argv_small;
  std::array<std::size_t, kStackArgs> lens_small;
  std::vector<const char*> argv_big;
  std::vector<std::size_t> lens_big;
  const char** argv = argv_small.data();
  std::size_t* lens = lens_small.data();
  if (args.size() > kStackArgs) {
    argv_big.resize(args.size());
    lens_big.resize(args.size());
    argv = argv_big.data();
    lens = lens_big.data();
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    argv[i] = args[i].data();
    lens[i] = args[i].size();
  }
  if (redisAppendCommandArgv(context_.get(), static_cast<int>(args.size()), argv, lens) !=
      REDIS_OK) {
    fail_io();
  }
}

Reply Connection::read_reply() {
  void* raw = nullptr;
  if (redisGetReply(context_.get(), &raw) != REDIS_OK) fail_io();
  return take(raw);
}

Reply Connection::take(void* raw) {
  ReplyPtr reply(static_cast<redisReply*>(raw));
  try {
    return hiredis::convert(*reply);
  } catch (const ProtocolError&) {
    mark_broken();
    throw;
  }
}

void Connection::fail_io() {
  const int saved_errno = errno;
  // Copy what the mapping needs, then close: the socket may hold half a reply.
  ContextPtr context = std::move(context_);
  broken_ = true;
  if (!context) throw ConnectionClosed("Connection closed.");
  hiredis::throw_context_error(*context, saved_errno, hiredis::Phase::kCommand, options_.host,
                               options_.port);
}

Reply Connection::command(std::span<const std::string_view> args) {
  if (args.empty()) throw InvalidArgument("a Redis command needs at least its name");
  ensure_connected();
  try {
    append(args);
    Reply reply = read_reply();
    if (reply.is_error()) throw ReplyError(std::move(reply.str()));
    return reply;
  } catch (const ReplyError&) {
    throw;  // the reply was read in full: the connection stays in step
  } catch (...) {
    if (context_) mark_broken();  // e.g. out of memory between sending and reading
    throw;
  }
}

Reply Connection::command(std::initializer_list<std::string_view> args) {
  return command(std::span<const std::string_view>(args.begin(), args.size()));
}

std::vector<Reply> Connection::pipeline(const CommandBatch& batch, bool transaction,
                                        bool raise_on_error) {
  std::vector<Reply> results;
  if (batch.empty()) return results;
  ensure_connected();
  try {
    static constexpr std::string_view kMulti[] = {"MULTI"};
    static constexpr std::string_view kExec[] = {"EXEC"};
    if (transaction) append(kMulti);
    for (std::size_t i = 0; i < batch.size(); ++i) append(batch[i]);
    if (transaction) append(kExec);

    if (!transaction) {
      results.reserve(batch.size());
      for (std::size_t i = 0; i < batch.size(); ++i) results.push_back(read_reply());
    } else {
      // Every reply is read before anything is thrown, so the connection stays in step.
      Reply multi = read_reply();
      std::optional<std::string> first_queue_error;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        Reply queued = read_reply();
        if (queued.is_error() && !first_queue_error) first_queue_error = std::move(queued.str());
      }
      Reply exec = read_reply();
      if (multi.is_error()) throw ReplyError(std::move(multi.str()));
      if (exec.is_error()) {
        // EXECABORT: the real cause is the command the server refused to queue.
        throw ReplyError(first_queue_error ? std::move(*first_queue_error) : std::move(exec.str()));
      }
      // Only a WATCHed key makes EXEC answer nil, and nothing here sends WATCH.
      if (exec.is_nil()) throw ProtocolError("Protocol error: EXEC returned nil");
      if (!exec.is_array() || exec.elements().size() != batch.size()) {
        mark_broken();
        throw ProtocolError("Protocol error: EXEC returned " + to_debug_string(exec));
      }
      results = std::move(exec.elements());
    }
  } catch (const ReplyError&) {
    throw;
  } catch (...) {
    if (context_) mark_broken();
    throw;
  }
  if (raise_on_error) {
    for (Reply& r : results) {
      if (r.is_error()) throw ReplyError(std::move(r.str()));
    }
  }
  return results;
}

std::vector<Reply> Connection::round_trip(const CommandBatch& batch) {
  std::vector<Reply> replies;
  if (batch.empty()) return replies;
  ensure_connected();
  try {
    for (std::size_t i = 0; i < batch.size(); ++i) append(batch[i]);
    replies.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) replies.push_back(read_reply());
  } catch (...) {
    if (context_) mark_broken();
    throw;
  }
  return replies;
}

void Connection::flush() {
  int done = 0;
  while (!done) {
    if (redisBufferWrite(context_.get(), &done) != REDIS_OK) fail_io();
  }
}

void Connection::send(std::span<const std::string_view> args) {
  if (args.empty()) throw InvalidArgument("a Redis command needs at least its name");
  ensure_connected();
  try {
    append(args);
    flush();
  } catch (...) {
    if (context_) mark_broken();
    throw;
  }
}

std::optional<Reply> Connection::receive(std::optional<Seconds> timeout) {
  if (!connected()) throw ConnectionClosed("Connection closed.");
  using Clock = std::chrono::steady_clock;
  const auto deadline = timeout
                            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(*timeout)
                            : Clock::time_point::max();
  try {
    for (;;) {
      void* raw = nullptr;
      if (redisGetReplyFromReader(context_.get(), &raw) != REDIS_OK) fail_io();
      if (raw) return take(raw);
      int wait_ms = -1;
      if (timeout) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        wait_ms = static_cast<int>(std::max<long long>(0, left.count()));
      }
      pollfd p{context_->fd, POLLIN, 0};
      const int rc = ::poll(&p, 1, wait_ms);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) fail_io();
      if (rc == 0) return std::nullopt;
      if (redisBufferRead(context_.get()) != REDIS_OK) fail_io();
    }
  } catch (const ProtocolError&) {
    throw;
  } catch (...) {
    if (context_) mark_broken();
    throw;
  }
}

}  // namespace mosswork::core::redis
