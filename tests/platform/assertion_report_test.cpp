// assert() must stay active here whatever the build type.
#undef NDEBUG
#include "assertion_report.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cassert>
#include <csignal>
#include <string>

#include "child_process.h"
#include "kernel_log.h"

namespace {

std::string Pid(int pid) { return std::to_string(pid); }

bool Aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

}  // namespace

TEST(ReportAssertion, WritesACriticalRecordToTheKernelLog) {
  KernelLogReader log;
  const std::string marker = UniqueMarker("report-check");
  ReportAssertion("lib/platform/example", 117, "void Example()", marker.c_str());
  const std::string record = log.WaitFor(marker);
  ASSERT_FALSE(record.empty());
  // Severity 2 (critical; the kernel files it under the user facility), both lines in one
  // record with the inner newline escaped.
  EXPECT_EQ(std::stoi(record) & 7, 2) << record;
  EXPECT_NE(record.find(";User space assert from process " + Pid(getpid()) + ": " + marker +
                        "\\x0aASSERT Executing lib/platform/example:117:void Example()\n"),
            std::string::npos)
      << record;
}

TEST(ReportAssertion, FallsBackToStderrWithoutTheKernelLog) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    std::printf("before");  // flushed ahead of the report
    ReportAssertion("lib/platform/example", 9, "int Example(int)", "m_exit");
  });
  ASSERT_EQ(child.status, 0) << "could not hide /dev/kmsg";
  EXPECT_EQ(child.out, "before");
  EXPECT_EQ(child.err,
            "\r\nASSERT FAILED: m_exit\r\nlib/platform/example:9:int Example(int)\r\n\r\n");
}

TEST(ReportAssertionMessage, AddsTheDetailLine) {
  KernelLogReader log;
  const std::string marker = UniqueMarker("message-check");
  ReportAssertionMessage("lib/platform/singleton", 145, "T* Get()", "Invalid pointer", "Pointer=%s",
                         marker.c_str());
  const std::string record = log.WaitFor(marker);
  EXPECT_NE(record.find(";User space assert from " + Pid(getpid()) +
                        ": Invalid pointer\\x0aPointer=" + marker +
                        "ASSERT Executing lib/platform/singleton:145:T* Get()\n"),
            std::string::npos)
      << record;

  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    ReportAssertionMessage("lib/platform/singleton", 117, "S()", "Invalid pointer", "Pointer=%d",
                           7);
  });
  EXPECT_EQ(
      child.err,
      "\r\nASSERT FAILED: Invalid pointer\r\nPointer=7\r\nlib/platform/singleton:117:S()\r\n\r\n");
}

TEST(PlinthCheck, ReportsSourceWithoutExtensionFunctionAndConditionThenAborts) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    int readers = 2;
    PLINTH_CHECK(readers < 1);
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(
      child.err.rfind("\r\nASSERT FAILED: readers < 1\r\ntests/platform/assertion_report_test:", 0),
      0u)
      << child.err;
  EXPECT_NE(
      child.err.find(":PlinthCheck_ReportsSourceWithoutExtensionFunctionAndConditionThenAborts_"
                     "Test::TestBody()::<lambda()>\r\n"),
      std::string::npos)
      << child.err;
}

// The process's own assert() takes the same road: a line on stdout, the record, then abort.
TEST(AssertEntryPoints, FailedAssertReportsToTheKernelLogAndAborts) {
  KernelLogReader log;
  const std::string marker = UniqueMarker("glibc-assert");
  const ChildResult child = RunInChild([&] {
    const int x = 0;
    assert(x > 0 && !marker.empty());
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(child.out, "GLIBC assert\r\n");
  EXPECT_EQ(child.err, "");
  const std::string record = log.WaitFor("x > 0 && !marker.empty()");
  EXPECT_NE(record.find("User space assert from process "), std::string::npos) << record;
  EXPECT_NE(record.find("ASSERT Executing tests/platform/assertion_report_test.cpp:"),
            std::string::npos)
      << record;
}

TEST(AssertEntryPoints, AssertPerrorReportsTheErrorText) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    __assert_perror_fail(ENOENT, "some/file.c", 12, "void f()");
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(child.err,
            "\r\nASSERT FAILED: No such file or directory\r\nsome/file.c:12:void f()\r\n\r\n");
}

TEST(AssertEntryPoints, BsdAssertReportsAnUnknownFunction) {
  const ChildResult child = RunInChild([] {
    if (!HideKernelLogForWriting()) _exit(3);
    __assert("a == b", "old/file.c", 31);
  });
  EXPECT_TRUE(Aborted(child.status));
  EXPECT_EQ(child.err, "\r\nASSERT FAILED: a == b\r\nold/file.c:31:UNKNOWN\r\n\r\n");
}
