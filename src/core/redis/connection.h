// One blocking connection to a Redis server: lazy connect, AUTH/SELECT, commands, pipelines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/redis/reply.h"

struct redisContext;

namespace mosswork::core::redis {

using Seconds = std::chrono::duration<double>;

struct ConnectionOptions {
  std::string host = "127.0.0.1";         // server address (name or IP)
  int port = 6379;                        // server TCP port
  std::string username;                   // AUTH user; empty sends AUTH <password> alone
  std::string password;                   // AUTH password; no AUTH when user and password are empty
  int db = 0;                             // SELECT db after connecting when not 0
  std::optional<Seconds> socket_timeout;  // limit of each read and write; unset waits forever
  std::optional<Seconds> connect_timeout;  // limit of the TCP connect; unset uses socket_timeout
};

// The commands of one pipeline round trip, stored flat. It keeps views: the bytes must stay
// alive and unchanged until the pipeline call returns. keep() stores a value built on the fly
// (a derived key, a number's text) inside the batch and returns a view of it.
class CommandBatch {
 public:
  std::string_view keep(std::string value);
  CommandBatch& add(std::span<const std::string_view> args);
  CommandBatch& add(std::initializer_list<std::string_view> args);
  std::size_t size() const noexcept { return starts_.size(); }
  bool empty() const noexcept { return starts_.empty(); }
  std::span<const std::string_view> operator[](std::size_t i) const noexcept;
  void clear() noexcept;
  void reserve(std::size_t commands, std::size_t args);

 private:
  std::vector<std::string_view> args_;
  std::vector<std::size_t> starts_;  // index in args_ where each command begins
  std::deque<std::string> kept_;     // values handed to keep(); a deque never moves them
};

// Owns one redisContext. Not thread-safe: one user at a time (the pool lends it out).
// The socket opens on first use. Any I/O error, time-out or protocol error closes the socket
// and marks the connection broken, since a reply may be left half-read; the next use opens a
// new socket. The socket is never touched in a process other than the one that opened it:
// after fork() the child drops the inherited socket without sending anything and reconnects.
class Connection {
 public:
  explicit Connection(ConnectionOptions options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the socket (AUTH, SELECT) unless it is open in this process already.
  void connect();
  // Points the connection at another server (closing any open socket) and connects.
  void connect_to(std::string host, int port);

  // Sends one command (binary-safe arguments) and reads its reply. An error reply throws
  // ReplyError and leaves the connection usable.
  Reply command(std::span<const std::string_view> args);
  Reply command(std::initializer_list<std::string_view> args);

  // Sends every command in one write and reads every reply. With transaction the batch is
  // wrapped in MULTI ... EXEC and the result is EXEC's array (one reply per command).
  // A command rejected while queuing aborts the transaction (EXECABORT): the first rejection
  // is thrown as ReplyError and nothing was applied. Error replies of executed commands come
  // back as error Replies; with raise_on_error the first one is thrown instead, after every
  // reply has been read.
  std::vector<Reply> pipeline(const CommandBatch& batch, bool transaction,
                              bool raise_on_error = true);

  // Sends every command in one write and reads one reply per command, error replies among
  // them, with no MULTI/EXEC of its own: the caller gives the replies their meaning.
  std::vector<Reply> round_trip(const CommandBatch& batch);

  // Sends one command and leaves its reply unread: subscriptions answer later, and many times.
  void send(std::span<const std::string_view> args);
  // The next reply, waiting at most timeout (unset: as long as it takes), or nothing when none
  // came in time. Part of a reply that came stays buffered for the next call.
  std::optional<Reply> receive(std::optional<Seconds> timeout);

  // Closes the socket without sending anything.
  void disconnect() noexcept;
  // Whether a socket is open in this process.
  bool connected() const noexcept;
  // Whether an I/O failure interrupted an exchange (the socket was closed then).
  bool broken() const noexcept { return broken_; }
  void mark_broken() noexcept;
  // Whether an idle socket has input waiting (EOF, reset or stray bytes): then it cannot be
  // trusted for the next command. Never blocks.
  bool has_pending_input() const noexcept;

  const ConnectionOptions& options() const noexcept { return options_; }
  const std::string& host() const noexcept { return options_.host; }
  int port() const noexcept { return options_.port; }

 private:
  friend class ConnectionPool;

  struct ContextFree {
    void operator()(redisContext* context) const noexcept;
  };
  using ContextPtr = std::unique_ptr<redisContext, ContextFree>;

  void ensure_connected();
  void open_socket();
  void authenticate();
  void append(std::span<const std::string_view> args);
  Reply read_reply();
  Reply take(void* raw);
  void flush();
  [[noreturn]] void fail_io();

  bool connected_in(pid_t pid) const noexcept { return context_ && pid_ == pid; }
  pid_t current_pid() const noexcept;

  ConnectionOptions options_;
  ContextPtr context_;
  pid_t pid_ = 0;  // process that opened context_
  // Set by the pool while a call that cannot straddle a fork() uses the connection: the pid it
  // already checked, which spares a getpid() per command. 0 otherwise.
  pid_t vouched_pid_ = 0;
  bool broken_ = false;
};

}  // namespace mosswork::core::redis
