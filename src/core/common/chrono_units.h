// Conversions between seconds given as a double (how Python passes time) and chrono durations,
// and from durations to the timeval the socket and broker libraries take.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <limits>

namespace mosswork::core {

// The whole number of Duration ticks nearest to `seconds` (halves away from zero). Values past
// the range of Duration saturate at its ends; NaN gives zero.
template <class Duration>
Duration round_seconds(double seconds) noexcept {
  using Rep = typename Duration::rep;
  static_assert(std::numeric_limits<Rep>::is_integer, "round_seconds makes whole ticks");
  if (std::isnan(seconds)) return Duration::zero();
  const double ticks =
      std::round(seconds * static_cast<double>(Duration::period::den) / Duration::period::num);
  // 2^63 is exact as a double while the largest long long is not: compare with >=.
  constexpr double kLimit = static_cast<double>(std::numeric_limits<Rep>::max());
  if (ticks >= kLimit) return Duration::max();
  if (ticks <= static_cast<double>(std::numeric_limits<Rep>::min())) return Duration::min();
  return Duration(static_cast<Rep>(ticks));
}

// Seconds to the nearest millisecond, as time-outs and lock lifetimes are given to servers.
inline std::chrono::milliseconds seconds_to_ms(double seconds) noexcept {
  return round_seconds<std::chrono::milliseconds>(seconds);
}

// A duration split into whole seconds and microseconds; a negative one gives zero.
inline timeval to_timeval(std::chrono::microseconds duration) noexcept {
  const long long us = duration.count() > 0 ? duration.count() : 0;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return tv;
}

}  // namespace mosswork::core
