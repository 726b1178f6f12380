// The core error hierarchy: texts and fields a caller relies on.
#include <gtest/gtest.h>

#include <cerrno>

#include "core/common/errors.h"

using namespace mosswork::core;

TEST(Errors, IoErrorNamesCauseAndPath) {
  IoError e(ENOENT, "cannot open", "/x/y");
  EXPECT_EQ(e.error_number(), ENOENT);
  EXPECT_EQ(e.path(), "/x/y");
  EXPECT_EQ(std::string(e.what()), "cannot open: No such file or directory: '/x/y'");
  EXPECT_EQ(e.reason(), "No such file or directory");
}

TEST(Errors, StatusAndStoreErrorsKeepTheirFields) {
  HttpStatusError h(503, "busy");
  EXPECT_EQ(h.status(), 503);
  EXPECT_EQ(h.body(), "busy");
  S3Error s("NoSuchKey", "The specified key does not exist.", "docs", "a/b.pdf");
  EXPECT_EQ(s.code(), "NoSuchKey");
  EXPECT_EQ(s.bucket_name(), "docs");
  EXPECT_EQ(s.object_name(), "a/b.pdf");
  // Every kind is catchable as the common base.
  try {
    throw Timeout("slow");
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "slow");
  }
}

TEST(Errors, ThrowErrnoUsesCurrentErrno) {
  errno = EACCES;
  try {
    throw_errno("cannot lock", "/tmp/l");
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), EACCES);
  }
}
