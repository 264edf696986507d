#include "errno_exception.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(ErrnoException, NamesTheOperationTheReasonAndTheNumber) {
  EXPECT_STREQ(ErrnoException(EPERM, "setsid").what(), "setsid: Operation not permitted (1)");
  EXPECT_EQ(ErrnoException(EPERM, "setsid").Errno(), EPERM);
}

TEST(ErrnoException, WithoutAnOperationGivesTheReasonAlone) {
  EXPECT_STREQ(ErrnoException(ENOENT, nullptr).what(), "No such file or directory (2)");
}

TEST(ErrnoException, CopiesKeepTheMessage) {
  const ErrnoException original(EINTR, "poll");
  const ErrnoException copy = original;
  EXPECT_STREQ(copy.what(), "poll: Interrupted system call (4)");
}
