// Retry decisions and the back-off schedule.
#include "core/http/retry.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/http/headers.h"

namespace mosswork::core::http {

bool RetryState::method_allowed(std::string_view method) const {
  return std::any_of(policy_.allowed_methods.begin(), policy_.allowed_methods.end(),
                     [&](const std::string& m) { return iequals(m, method); });
}

bool RetryState::may_retry(FailureKind kind, std::string_view method) const {
  switch (kind) {
    case FailureKind::kConnect:
    case FailureKind::kOther:
      return true;
    case FailureKind::kRead:
      return method_allowed(method);
    case FailureKind::kFatal:
      return false;
  }
  return false;
}

bool RetryState::is_retry_status(std::string_view method, long status, bool has_retry_after) const {
  if (!method_allowed(method)) return false;
  const auto& list = policy_.status_forcelist;
  if (std::find(list.begin(), list.end(), status) != list.end()) return true;
  // Retry-After on these statuses asks for a retry even when they are not listed.
  return policy_.total > 0 && policy_.respect_retry_after && has_retry_after &&
         (status == 413 || status == 429 || status == 503);
}

bool RetryState::increment() {
  ++failures_;
  return failures_ <= policy_.total;
}

std::chrono::duration<double> RetryState::backoff() const {
  if (failures_ <= 1) return std::chrono::duration<double>(0);
  double value = policy_.backoff_factor * std::pow(2.0, failures_ - 1);
  value = std::clamp(value, 0.0, policy_.backoff_max.count());
  return std::chrono::duration<double>(value);
}

std::optional<std::chrono::duration<double>> RetryState::retry_after(
    std::string_view header) const {
  if (!policy_.respect_retry_after) return std::nullopt;
  std::string text(header);
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::nullopt;
  auto end = text.find_last_not_of(" \t");
  text = text.substr(begin, end - begin + 1);
  double seconds;
  if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    // Digits beyond any double read as infinity and are capped below (stod would throw).
    seconds = std::strtod(text.c_str(), nullptr);
  } else {
    time_t when = curl_getdate(text.c_str(), nullptr);
    if (when < 0) return std::nullopt;
    seconds = std::difftime(when, std::time(nullptr));
  }
  if (seconds <= 0) return std::nullopt;
  seconds = std::min(seconds, policy_.retry_after_max.count());
  return std::chrono::duration<double>(seconds);
}

}  // namespace mosswork::core::http
