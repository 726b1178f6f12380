// The one error hierarchy of the core: every failure a core function reports is one of these.
#pragma once

#include <stdexcept>
#include <string>

namespace mosswork::core {

// Base of every core error; what() is the text a caller sees.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A caller passed a value the function cannot work with.
class InvalidArgument : public Error {
 public:
  using Error::Error;
};

// A value has the wrong kind (a text where a number was needed, and so on).
class TypeMismatch : public Error {
 public:
  using Error::Error;
};

// A failed operating-system call, with its errno and the path it was about (may be empty).
class IoError : public Error {
 public:
  IoError(int error_number, std::string what, std::string path = {});
  int error_number() const noexcept { return errno_; }
  const std::string& path() const noexcept { return path_; }
  // strerror text of error_number, without the context.
  std::string reason() const;
  // What was being done, without the path: "cannot open: No such file or directory".
  const std::string& context() const noexcept { return context_; }

 private:
  int errno_;
  std::string path_;
  std::string context_;
};

// A peer closed the connection, or it could not be opened.
class ConnectionClosed : public Error {
 public:
  using Error::Error;
};

// No sentinel knows a master (or a replica) of the monitored service.
class MasterNotFound : public ConnectionClosed {
 public:
  using ConnectionClosed::ConnectionClosed;
};
class SlaveNotFound : public ConnectionClosed {
 public:
  using ConnectionClosed::ConnectionClosed;
};

// An operation did not finish in its time.
class Timeout : public Error {
 public:
  using Error::Error;
};

// A peer sent something the protocol does not allow.
class ProtocolError : public Error {
 public:
  using Error::Error;
};

// A server answered a request with an error reply.
class ReplyError : public Error {
 public:
  using Error::Error;
};

// A distributed lock was used in a way its state does not allow (released while not held).
class LockError : public Error {
 public:
  using Error::Error;
};

// The lock's key no longer holds this holder's token: it expired, or another holder took it.
class LockNotOwned : public LockError {
 public:
  using LockError::LockError;
};

// An HTTP exchange ended with a status the caller does not accept.
class HttpStatusError : public Error {
 public:
  HttpStatusError(long status, std::string body);
  long status() const noexcept { return status_; }
  const std::string& body() const noexcept { return body_; }

 private:
  long status_;
  std::string body_;
};

// A resource (a document, an index) does not exist: a 404 answer, kept apart from transport
// failures and other statuses so that callers can tell "missing" from "unreachable".
class NotFound : public HttpStatusError {
 public:
  explicit NotFound(std::string body) : HttpStatusError(404, std::move(body)) {}
};

// An object store answered with an error document.
class S3Error : public Error {
 public:
  S3Error(std::string code, std::string message, std::string bucket_name, std::string object_name);
  const std::string& code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const std::string& bucket_name() const noexcept { return bucket_; }
  const std::string& object_name() const noexcept { return object_; }

 private:
  std::string code_, message_, bucket_, object_;
};

// Data did not match what it was checked against (size, digest).
class IntegrityMismatch : public Error {
 public:
  using Error::Error;
};

// Input text or a file could not be parsed.
class ParseError : public Error {
 public:
  using Error::Error;
};

// A failure the service reports to its users as its own application error.
class ApplicationFailure : public Error {
 public:
  using Error::Error;
};

// Builds an IoError from the current errno.
[[noreturn]] void throw_errno(const std::string& what, const std::string& path = {});

}  // namespace mosswork::core
