#include "exception_handlers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <exception>

#include "child_process.h"
#include "errno_exception.h"
#include "kernel_log.h"

namespace {

bool Aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

template <typename Exception>
void Throw(Exception exception) {
  throw exception;
}

// An exception that leaves this function reaches std::terminate, as one leaving main would.
template <typename Exception>
void ThrowUncaught(Exception exception) noexcept {
  void (*volatile thrower)(Exception) = Throw<Exception>;
  thrower(exception);
}

}  // namespace

TEST(TerminateHandler, ReportsAnUncaughtErrnoExceptionAndAborts) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    InstallExceptionHandlers();
    ThrowUncaught(ErrnoException(EPERM, "setsid"));
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(child.err,
            "Unhandled exception of type '14ErrnoException'.\n"
            "  what(): setsid: Operation not permitted (1)\n"
            "\r\nASSERT FAILED: false\r\n"
            "lib/platform/exception_handlers:41:void {anonymous}::TerminateHandler()\r\n\r\n");
}

TEST(TerminateHandler, ReportsAThrownIntAsUnknown) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    InstallExceptionHandlers();
    ThrowUncaught(7);
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(child.err.rfind("Unhandled exception of type 'i'.\n  unknown exception type.\n", 0), 0u)
      << child.err;
}

TEST(TerminateHandler, ReportsTerminateWithoutAnException) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    InstallExceptionHandlers();
    std::terminate();
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(
      child.err.rfind("std::terminate called without current exception\n\r\nASSERT FAILED", 0), 0u)
      << child.err;
}

TEST(TerminateHandler, ReportReachesTheKernelLog) {
  KernelLogReader log;
  const ChildResult child = RunInChild([] {
    InstallExceptionHandlers();
    ThrowUncaught(ErrnoException(ENOENT, "open"));
  });
  EXPECT_TRUE(Aborted(child.status));
  const std::string record = log.WaitFor(
      "ASSERT Executing lib/platform/exception_handlers:41:void {anonymous}::TerminateHandler()");
  EXPECT_NE(record.find("User space assert from process "), std::string::npos) << record;
}

// An orderly end after the same report, for callers that unwind first.
TEST(ReportUncaughtException, GivesTheTerminateReportWithoutAborting) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    try {
      throw std::runtime_error("Group leader but not a session leader");
    } catch (...) {
      ReportUncaughtException();
    }
  });
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.err,
            "Unhandled exception of type 'St13runtime_error'.\n"
            "  what(): Group leader but not a session leader\n"
            "\r\nASSERT FAILED: false\r\n"
            "lib/platform/exception_handlers:41:void {anonymous}::TerminateHandler()\r\n\r\n");
}
