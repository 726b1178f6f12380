// The retry policy on its own: which failures count, the back-off schedule, Retry-After.
#include <gtest/gtest.h>

#include <string>

#include "core/http/retry.h"

using namespace mosswork::core::http;

TEST(HttpRetry, ThreeRetriesWithUrllib3Schedule) {
  RetryPolicy policy;  // total 3, factor 0.5
  RetryState state(policy);
  // No sleep after the first failure, then factor * 2^(n-1).
  ASSERT_TRUE(state.increment());
  EXPECT_DOUBLE_EQ(state.backoff().count(), 0.0);
  ASSERT_TRUE(state.increment());
  EXPECT_DOUBLE_EQ(state.backoff().count(), 1.0);
  ASSERT_TRUE(state.increment());
  EXPECT_DOUBLE_EQ(state.backoff().count(), 2.0);
  // The fourth failure is final: four attempts in all.
  EXPECT_FALSE(state.increment());
}

TEST(HttpRetry, BackoffIsCappedAndZeroTotalNeverRetries) {
  RetryPolicy policy;
  policy.total = 10;
  policy.backoff_factor = 10;
  policy.backoff_max = std::chrono::duration<double>(15);
  RetryState state(policy);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(state.increment());
  EXPECT_DOUBLE_EQ(state.backoff().count(), 15.0);

  RetryPolicy none;
  none.total = 0;
  RetryState no_retry(none);
  EXPECT_FALSE(no_retry.increment());
}

TEST(HttpRetry, WhichFailuresAndStatusesAreRetried) {
  RetryPolicy policy;
  RetryState state(policy);
  // Nothing reached the server: any method.
  EXPECT_TRUE(state.may_retry(FailureKind::kConnect, "POST"));
  // The request may have been processed: idempotent methods only.
  EXPECT_TRUE(state.may_retry(FailureKind::kRead, "GET"));
  EXPECT_TRUE(state.may_retry(FailureKind::kRead, "put"));
  EXPECT_FALSE(state.may_retry(FailureKind::kRead, "POST"));
  EXPECT_FALSE(state.may_retry(FailureKind::kRead, "PATCH"));
  EXPECT_TRUE(state.may_retry(FailureKind::kOther, "POST"));
  EXPECT_FALSE(state.may_retry(FailureKind::kFatal, "GET"));

  for (long status : {500L, 502L, 503L, 504L})
    EXPECT_TRUE(state.is_retry_status("GET", status, false));
  EXPECT_FALSE(state.is_retry_status("GET", 501, false));
  EXPECT_FALSE(state.is_retry_status("GET", 404, false));
  EXPECT_FALSE(state.is_retry_status("POST", 503, false));
  // Retry-After turns 429 and 413 into retries too, but never for POST.
  EXPECT_TRUE(state.is_retry_status("GET", 429, true));
  EXPECT_FALSE(state.is_retry_status("GET", 429, false));
  EXPECT_FALSE(state.is_retry_status("POST", 429, true));
}

TEST(HttpRetry, RetryAfterHeaderValues) {
  RetryPolicy policy;
  policy.retry_after_max = std::chrono::duration<double>(30);
  RetryState state(policy);
  EXPECT_DOUBLE_EQ(state.retry_after(" 7 ")->count(), 7.0);
  EXPECT_DOUBLE_EQ(state.retry_after("3600")->count(), 30.0);                 // capped
  EXPECT_DOUBLE_EQ(state.retry_after(std::string(400, '9'))->count(), 30.0);  // beyond a double
  EXPECT_FALSE(state.retry_after("0").has_value());  // falls back to the back-off
  EXPECT_FALSE(state.retry_after("soon").has_value());
  EXPECT_FALSE(state.retry_after("Wed, 21 Oct 2015 07:28:00 GMT").has_value());  // in the past
  policy.respect_retry_after = false;
  EXPECT_FALSE(state.retry_after("5").has_value());
}

TEST(HttpRetry, NonePolicyRetriesNothing) {
  RetryPolicy policy = RetryPolicy::none();
  RetryState state(policy);
  EXPECT_FALSE(state.is_retry_status("GET", 503, false));
  EXPECT_FALSE(state.is_retry_status("GET", 429, true));
  EXPECT_FALSE(state.increment());
}
