// The retry policy of the transport: which failures are tried again, how often, and how long to
// wait in between (the rules of urllib3's Retry).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mosswork::core::http {

struct RetryPolicy {
  int total = 3;                                     // retries after the first attempt; 0 = none
  double backoff_factor = 0.5;                       // seconds; sleep = factor * 2^(failures - 1)
  std::chrono::duration<double> backoff_max{120.0};  // upper bound of one back-off sleep
  std::vector<long> status_forcelist{500, 502, 503,
                                     504};  // statuses retried (allowed methods only)
  std::vector<std::string> allowed_methods{"HEAD", "GET", "PUT", "DELETE", "OPTIONS", "TRACE"};
  bool respect_retry_after = true;  // a Retry-After header replaces the back-off
  std::chrono::duration<double> retry_after_max{120.0};  // longest Retry-After honoured
  bool raise_on_status =
      true;  // statuses still failing at the end throw; else the response returns

  // No retries at all, every status returned (urllib3's Retry(False)).
  static RetryPolicy none() {
    RetryPolicy p;
    p.total = 0;
    p.status_forcelist.clear();
    p.respect_retry_after = false;
    p.raise_on_status = false;
    return p;
  }
};

// What went wrong with one attempt, as far as retrying is concerned.
enum class FailureKind {
  kConnect,  // nothing reached the server: safe to retry any method
  kRead,     // the request was (perhaps) sent: retried for allowed methods only
  kOther,    // other transport failures (TLS): retried like urllib3 does
  kFatal,    // never retried (bad URL, a failing body source, out of memory)
};

// Counts the failed attempts of one request against a policy.
class RetryState {
 public:
  explicit RetryState(const RetryPolicy& policy) : policy_(policy) {}

  bool method_allowed(std::string_view method) const;
  // Whether a failure of this kind may be retried for this method at all.
  bool may_retry(FailureKind kind, std::string_view method) const;
  // Whether a response status asks for a retry.
  bool is_retry_status(std::string_view method, long status, bool has_retry_after) const;
  // Records one failed attempt; false when no retry is left (the failure is final).
  bool increment();
  // Sleep before the next attempt: 0 after the first failure, then factor * 2^(n-1), capped.
  std::chrono::duration<double> backoff() const;
  // Sleep a Retry-After value asks for, when it parses and is honoured.
  std::optional<std::chrono::duration<double>> retry_after(std::string_view header) const;
  int failures() const noexcept { return failures_; }

 private:
  const RetryPolicy& policy_;
  int failures_ = 0;
};

}  // namespace mosswork::core::http
