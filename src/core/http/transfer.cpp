// One exchange on a pooled entry: option set-up, the drive loop, libcurl's callbacks.
#include "core/http/transfer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "core/common/errors.h"
#include "core/http/curl_errors.h"

namespace mosswork::core::http {
namespace {

// Largest Content-Length reserved up front for a collected body.
constexpr std::uint64_t kMaxReserve = 64ull << 20;
// Body bytes still read to keep a connection whose response is thrown away.
constexpr std::uint64_t kMaxDrain = 64ull << 10;
// libcurl's receive buffer.
constexpr long kReceiveBuffer = 64L << 10;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// What follows the code on a status line ("HTTP/1.1 404 Not Found"), trimmed.
std::string_view reason_phrase(std::string_view line) {
  std::size_t at = line.find(' ');
  if (at != std::string_view::npos) at = line.find_first_not_of(' ', at);
  if (at != std::string_view::npos) at = line.find_first_not_of("0123456789", at);
  return at == std::string_view::npos ? std::string_view() : trim(line.substr(at));
}

template <typename T>
void set_option(CURL* h, CURLoption option, T value, const std::string& context) {
  CURLcode rc = curl_easy_setopt(h, option, value);
  if (rc != CURLE_OK)
    throw TransferFailure(FailureKind::kFatal, rc, context, curl_easy_strerror(rc));
}

}  // namespace

// ---- TransferFailure ------------------------------------------------------------------------

std::string TransferFailure::describe() const {
  if (cause_) {
    try {
      std::rethrow_exception(cause_);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown failure";
    }
  }
  return context_ + ": " + (detail_.empty() ? curl_easy_strerror(code_) : detail_);
}

void TransferFailure::raise() const {
  if (cause_) std::rethrow_exception(cause_);
  throw_curl_error(code_, context_, detail_);
}

// ---- Transfer -------------------------------------------------------------------------------

Transfer::Transfer(PoolEntry& entry, const Request& request, const TransferLimits& limits,
                   Sink sink, bool replayable)
    : entry_(entry), request_(request), limits_(limits), sink_(sink), replayable_(replayable) {}

Transfer::~Transfer() { detach(); }

std::string Transfer::context() const { return request_.method + " " + request_.url; }

long Transfer::curl_status() const noexcept {
  long code = 0;
  if (curl_easy_getinfo(entry_.easy(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return 0;
  return code;
}

void Transfer::start() {
  CURL* h = entry_.easy();
  const std::string ctx = context();
  curl_easy_reset(h);
  error_[0] = '\0';

  set_option(h, CURLOPT_SHARE, entry_.share(), ctx);
  set_option(h, CURLOPT_URL, request_.url.c_str(), ctx);
  set_option(h, CURLOPT_NOSIGNAL, 1L, ctx);
  set_option(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1), ctx);
  // Object keys may hold "." and ".." segments: the path goes out exactly as given.
  set_option(h, CURLOPT_PATH_AS_IS, 1L, ctx);
  set_option(h, CURLOPT_BUFFERSIZE, kReceiveBuffer, ctx);
  set_option(h, CURLOPT_ERRORBUFFER, error_, ctx);
  auto connect_ms = request_.timeout.value_or(limits_.connect_timeout).count();
  set_option(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<long long>(connect_ms, 1)),
             ctx);
  if (!limits_.user_agent.empty())
    set_option(h, CURLOPT_USERAGENT, limits_.user_agent.c_str(), ctx);
  set_option(h, CURLOPT_HEADERFUNCTION, &Transfer::on_header, ctx);
  set_option(h, CURLOPT_HEADERDATA, static_cast<void*>(this), ctx);
  set_option(h, CURLOPT_WRITEFUNCTION, &Transfer::on_write, ctx);
  set_option(h, CURLOPT_WRITEDATA, static_cast<void*>(this), ctx);
  set_option(h, CURLOPT_PREREQFUNCTION, &Transfer::on_prereq, ctx);
  set_option(h, CURLOPT_PREREQDATA, static_cast<void*>(this), ctx);
  set_option(h, CURLOPT_OPENSOCKETFUNCTION, &PoolEntry::open_socket, ctx);
  set_option(h, CURLOPT_OPENSOCKETDATA, static_cast<void*>(&entry_), ctx);
  set_option(h, CURLOPT_CLOSESOCKETFUNCTION, &PoolEntry::close_socket, ctx);
  set_option(h, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(&entry_), ctx);
  set_option(h, CURLOPT_SSL_VERIFYPEER, request_.verify_tls ? 1L : 0L, ctx);
  set_option(h, CURLOPT_SSL_VERIFYHOST, request_.verify_tls ? 2L : 0L, ctx);

  const std::string& method = request_.method;
  const bool has_body = request_.body_source != nullptr || !request_.body.empty();
  // POST, PUT and PATCH always carry a Content-Length, 0 when empty (some servers insist).
  const bool sends_body =
      method != "HEAD" && (has_body || method == "POST" || method == "PUT" || method == "PATCH");
  if (method == "HEAD") {
    set_option(h, CURLOPT_NOBODY, 1L, ctx);
  } else if (sends_body) {
    upload_size_ = request_.body_source ? request_.body_source->size() : request_.body.size();
    upload_offset_ = 0;
    set_option(h, CURLOPT_UPLOAD, 1L, ctx);
    set_option(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload_size_), ctx);
    set_option(h, CURLOPT_READFUNCTION, &Transfer::on_read, ctx);
    set_option(h, CURLOPT_READDATA, static_cast<void*>(this), ctx);
    if (method != "PUT") set_option(h, CURLOPT_CUSTOMREQUEST, method.c_str(), ctx);
    if (replayable_) {
      set_option(h, CURLOPT_SEEKFUNCTION, &Transfer::on_seek, ctx);
      set_option(h, CURLOPT_SEEKDATA, static_cast<void*>(this), ctx);
    }
  } else if (method != "GET") {
    set_option(h, CURLOPT_CUSTOMREQUEST, method.c_str(), ctx);
  }

  header_list_.reset();
  std::string line;
  try {
    for (const auto& [name, value] : request_.headers) {
      line.assign(name);
      // libcurl sends "Name;" as a header with an empty value ("Name:" would remove it).
      if (value.empty()) {
        line += ';';
      } else {
        line += ": ";
        line += value;
      }
      slist_append(header_list_, line.c_str());
    }
    if (sends_body && upload_size_ > 0) {
      if (request_.sigv4) {
        // libcurl 7.88 signs every header of the list, an "Expect:" remover too, which the
        // server never sees: keep libcurl's Expect header (unsigned) and do not wait for 100.
        set_option(h, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L, ctx);
      } else {
        slist_append(header_list_, "Expect:");
      }
    }
  } catch (const std::bad_alloc&) {
    throw TransferFailure(FailureKind::kFatal, CURLE_OUT_OF_MEMORY, ctx, "out of memory");
  }
  if (header_list_) set_option(h, CURLOPT_HTTPHEADER, header_list_.get(), ctx);

  if (request_.sigv4) {
    set_option(h, CURLOPT_AWS_SIGV4, request_.sigv4->provider.c_str(), ctx);
    set_option(h, CURLOPT_USERNAME, request_.sigv4->access_key.c_str(), ctx);
    set_option(h, CURLOPT_PASSWORD, request_.sigv4->secret_key.c_str(), ctx);
  } else if (request_.basic_auth) {
    set_option(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC), ctx);
    set_option(h, CURLOPT_USERNAME, request_.basic_auth->user.c_str(), ctx);
    set_option(h, CURLOPT_PASSWORD, request_.basic_auth->password.c_str(), ctx);
  }

  if (sink_ == Sink::kStream) {
    // Never smaller than the largest piece libcurl hands to the write callback.
    buf_.resize(std::max<std::size_t>(limits_.stream_buffer_bytes, CURL_MAX_WRITE_SIZE));
  }

  CURLMcode mc = curl_multi_add_handle(entry_.multi(), h);
  if (mc != CURLM_OK) {
    throw TransferFailure(FailureKind::kFatal, CURLE_FAILED_INIT, ctx, curl_multi_strerror(mc));
  }
  attached_ = true;
  last_progress_ = Clock::now();
}

void Transfer::detach() noexcept {
  if (attached_) {
    curl_multi_remove_handle(entry_.multi(), entry_.easy());
    attached_ = false;
  }
}

void Transfer::fail(FailureKind kind, CURLcode code, std::string detail, std::exception_ptr cause) {
  detach();
  throw TransferFailure(kind, code, context(), std::move(detail), std::move(cause));
}

void Transfer::read_messages() {
  int queued = 0;
  while (CURLMsg* msg = curl_multi_info_read(entry_.multi(), &queued)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == entry_.easy()) {
      done_ = true;
      result_ = msg->data.result;
    }
  }
}

void Transfer::finish_done() {
  if (callback_error_) fail(FailureKind::kFatal, result_, {}, callback_error_);
  if (result_ != CURLE_OK) {
    fail(classify_curl_failure(result_, request_started_), result_, error_);
  }
  long code = 0;
  if (curl_easy_getinfo(entry_.easy(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code != 0) {
    status_ = code;
  }
  headers_complete_ = true;
  detach();  // finished: the connection stays in the entry's cache
}

template <typename Enough>
void Transfer::drive(Enough&& enough) {
  if (done_) return;
  if (!attached_)
    fail(FailureKind::kFatal, CURLE_FAILED_INIT, "the transfer was closed before its end");
  // Time the caller spent away from the transfer does not count as a stalled peer.
  Clock::time_point entered = Clock::now();
  if (last_progress_ < entered) last_progress_ = entered;
  CURLM* multi = entry_.multi();
  for (;;) {
    if (paused_) {
      paused_ = false;
      CURLcode rc = curl_easy_pause(entry_.easy(), CURLPAUSE_CONT);
      if (callback_error_) fail(FailureKind::kFatal, rc, {}, callback_error_);
      if (rc != CURLE_OK) fail(classify_curl_failure(rc, request_started_), rc, error_);
    }
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc != CURLM_OK) fail(FailureKind::kFatal, CURLE_FAILED_INIT, curl_multi_strerror(mc));
    read_messages();
    if (done_) {
      finish_done();
      return;
    }
    if (callback_error_) fail(FailureKind::kFatal, CURLE_ABORTED_BY_CALLBACK, {}, callback_error_);
    if (enough()) return;

    int wait_ms = 1000;  // before the request goes out libcurl enforces the connect time-out
    if (request_started_) {
      auto read_timeout = request_.timeout.value_or(limits_.read_timeout);
      auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_progress_);
      if (idle >= read_timeout) {
        fail(FailureKind::kRead, CURLE_OPERATION_TIMEDOUT,
             "read timed out (no data for " + std::to_string(read_timeout.count()) + " ms)");
      }
      wait_ms = static_cast<int>(std::min<long long>((read_timeout - idle).count(), 1000));
      wait_ms = std::max(wait_ms, 1);
    }
    mc = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
    if (mc != CURLM_OK) fail(FailureKind::kFatal, CURLE_FAILED_INIT, curl_multi_strerror(mc));
  }
}

void Transfer::run_until_headers() {
  drive([this] { return headers_complete_; });
}

void Transfer::run_to_end() {
  drive([] { return false; });
}

std::size_t Transfer::take_buffered(char* dst, std::size_t n) noexcept {
  std::size_t k = std::min(n, buf_len_);
  if (k > 0) {
    std::memcpy(dst, buf_.data() + buf_pos_, k);
    buf_pos_ += k;
    buf_len_ -= k;
  }
  if (buf_len_ == 0) buf_pos_ = 0;
  return k;
}

std::size_t Transfer::pull_into(char* dst, std::size_t n) {
  std::size_t got = take_buffered(dst, n);
  if (got == n || done_) return got;
  target_ = dst + got;
  target_cap_ = n - got;
  target_len_ = 0;
  try {
    drive([this] { return target_len_ == target_cap_; });
  } catch (...) {
    target_ = nullptr;
    target_cap_ = target_len_ = 0;
    throw;
  }
  got += target_len_;
  target_ = nullptr;
  target_cap_ = target_len_ = 0;
  return got;
}

std::string_view Transfer::pull_chunk() {
  if (buf_len_ == 0 && !done_) drive([this] { return buf_len_ > 0; });
  std::string_view piece(buf_.data() + buf_pos_, buf_len_);
  // The bytes stay put until the next pull, which is when the caller is done with them.
  buf_pos_ = 0;
  buf_len_ = 0;
  return piece;
}

std::string Transfer::read_rest(std::size_t limit) {
  std::string out;
  if (sink_ == Sink::kCollect) {
    if (!done_) run_to_end();
    out = std::move(body_);
  } else {
    for (;;) {
      std::string_view piece = pull_chunk();
      if (piece.empty()) break;
      out.append(piece.substr(0, limit - out.size()));
      if (out.size() >= limit) break;
    }
  }
  if (out.size() > limit) out.resize(limit);
  detach();
  return out;
}

void Transfer::drain() noexcept {
  if (!done_ && content_length_ && *content_length_ >= received_ &&
      *content_length_ - received_ <= kMaxDrain) {
    try {
      if (sink_ == Sink::kStream) {
        while (!pull_chunk().empty()) {
        }
      } else {
        run_to_end();
      }
    } catch (...) {
      // A failed drain only costs the connection.
    }
  }
  detach();
}

// ---- callbacks ------------------------------------------------------------------------------

std::size_t Transfer::on_header(char* data, std::size_t size, std::size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const std::size_t len = size * count;
  std::string_view line(data, len);
  t->last_progress_ = Clock::now();
  try {
    if (t->headers_complete_) {
      // Trailers of a chunked body are not kept.
    } else if (line.empty() || line.front() == '\r' || line.front() == '\n') {
      // libcurl ends a header block at any line that starts so. After an interim 1xx answer
      // another response follows; the final one's headers are complete.
      t->status_ = t->curl_status();
      if (t->status_ >= 200) {
        t->headers_complete_ = true;
      } else {
        t->status_line_next_ = true;
      }
    } else if (t->status_line_next_) {
      // A new response (the first, or the one after an interim 1xx): start over. The status is
      // libcurl's reading of the line, which accepts more forms than "HTTP/1.1 200 OK".
      t->status_line_next_ = false;
      t->headers_.clear();
      t->content_length_.reset();
      t->status_ = t->curl_status();
      t->reason_ = std::string(reason_phrase(line));
    } else if (line.front() == ' ' || line.front() == '\t') {
      t->headers_.append_to_last(trim(line));
    } else {
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view name = trim(line.substr(0, colon));
        std::string_view value = trim(line.substr(colon + 1));
        if (iequals(name, "Content-Length")) {
          // Read as libcurl reads it, since libcurl frames the body by it: the leading digits
          // (one "+" allowed), the last such header winning; a value too large for it makes the
          // length unknown (the body then runs to the close). A value with no digits at all
          // fails the transfer in libcurl.
          std::string_view digits = value.substr(!value.empty() && value.front() == '+');
          std::uint64_t n = 0;
          auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
          if (ec == std::errc::result_out_of_range ||
              (ec == std::errc() && n > static_cast<std::uint64_t>(INT64_MAX))) {
            t->content_length_.reset();
          } else if (ec == std::errc()) {
            t->content_length_ = n;
            if (t->sink_ == Sink::kCollect && t->request_.method != "HEAD") {
              t->body_.reserve(static_cast<std::size_t>(std::min(n, kMaxReserve)));
            }
          }
        }
        t->headers_.add(std::string(name), std::string(value));
      }
    }
  } catch (...) {
    t->callback_error_ = std::current_exception();
    return 0;
  }
  return len;
}

std::size_t Transfer::on_write(char* data, std::size_t size, std::size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const std::size_t len = size * count;
  t->last_progress_ = Clock::now();
  if (!t->headers_complete_) {
    // libcurl hands over body bytes only after the final response's headers, whatever the
    // header lines looked like: waiting for more headers would stall a stream on a full buffer.
    t->status_ = t->curl_status();
    t->headers_complete_ = true;
  }
  try {
    if (t->sink_ == Sink::kCollect) {
      t->body_.append(data, len);
      t->received_ += len;
      return len;
    }
    std::size_t to_target = std::min(len, t->target_cap_ - t->target_len_);
    std::size_t rest = len - to_target;
    if (rest > t->buf_.size() - t->buf_pos_ - t->buf_len_) {
      if (t->buf_len_ == 0) {
        // An empty buffer always takes the piece, so a pause cannot repeat forever.
        t->buf_pos_ = 0;
        if (rest > t->buf_.size()) t->buf_.resize(rest);
      } else {
        // Full: libcurl keeps this piece and hands it over again after the resume.
        t->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
      }
    }
    if (to_target > 0) {
      std::memcpy(t->target_ + t->target_len_, data, to_target);
      t->target_len_ += to_target;
    }
    if (rest > 0) {
      std::memcpy(t->buf_.data() + t->buf_pos_ + t->buf_len_, data + to_target, rest);
      t->buf_len_ += rest;
    }
    t->received_ += len;
    return len;
  } catch (...) {
    t->callback_error_ = std::current_exception();
    return 0;
  }
}

std::size_t Transfer::on_read(char* dst, std::size_t size, std::size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const std::size_t cap = size * count;
  try {
    std::size_t n;
    if (t->request_.body_source) {
      n = t->request_.body_source->read(dst, cap);
    } else {
      n = static_cast<std::size_t>(
          std::min<std::uint64_t>(cap, t->request_.body.size() - t->upload_offset_));
      std::memcpy(dst, t->request_.body.data() + t->upload_offset_, n);
    }
    if (n == 0 && t->upload_offset_ < t->upload_size_) {
      throw IoError(EIO, "upload body ended after " + std::to_string(t->upload_offset_) + " of " +
                             std::to_string(t->upload_size_) + " bytes");
    }
    t->upload_offset_ += n;
    t->last_progress_ = Clock::now();
    return n;
  } catch (...) {
    t->callback_error_ = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

int Transfer::on_seek(void* self, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(self);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > t->upload_size_) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  try {
    if (t->request_.body_source) {
      if (offset != 0 || !t->request_.body_source->rewind()) return CURL_SEEKFUNC_CANTSEEK;
    }
  } catch (...) {
    return CURL_SEEKFUNC_FAIL;
  }
  t->upload_offset_ = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

int Transfer::on_prereq(void* self, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(self);
  t->request_started_ = true;
  t->last_progress_ = Clock::now();
  return CURL_PREREQFUNC_OK;
}

}  // namespace mosswork::core::http
