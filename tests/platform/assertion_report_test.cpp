// SPDX-License-Identifier: MIT
// Every way a failed check is reported, one row per mechanism. Each runs in a child process in
// which the kernel log cannot be opened for writing, so that the report goes to standard error.
// assert() is a mechanism under test, in every build type; so is std::unexpected().
#undef NDEBUG
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "assertion_report.h"
#include "exception_handlers.h"

namespace {

constexpr unsigned kCheckLine = __LINE__ + 1;
void CheckFails() { PLINTH_CHECK(1 + 1 == 3); }

constexpr unsigned kAssertLine = __LINE__ + 3;
void AssertFails() {
  const int x = 0;
  assert(x > 0);
}

// A read-only bind of an empty file over the kernel log: opening it for writing fails.
bool HideKernelLog() {
  char path[] = "/tmp/ttyweave-no-kmsg-XXXXXX";
  const int fd = mkstemp(path);
  const bool hidden =
      fd >= 0 && unshare(CLONE_NEWNS) == 0 &&
      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount(path, "/dev/kmsg", nullptr, MS_BIND, nullptr) == 0 &&
      mount(nullptr, "/dev/kmsg", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  unlink(path);
  return hidden;
}

// What `fail` writes to standard output and error (in that order) before the child aborts.
std::string ReportOf(const std::function<void()>& fail) {
  int ends[2];
  if (pipe(ends) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], 1);
    dup2(ends[1], 2);
    if (!HideKernelLog()) _exit(3);
    InstallExceptionHandlers();
    fail();
    _exit(4);
  }
  close(ends[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  close(ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT) report += "[no abort]";
  // A user-mode emulator (an ARM build's tests) says so after its program's abort.
  const size_t emulator_note = report.find("qemu: uncaught target signal");
  if (emulator_note != std::string::npos) report.erase(emulator_note);
  return report;
}

std::string Record(const std::string& expression, const std::string& where) {
  return "\r\nASSERT FAILED: " + expression + "\r\n" + where + "\r\n\r\n";
}

const std::string kTerminateRecord =
    Record("false", "lib/platform/exception_handlers:41:void {anonymous}::TerminateHandler()");

TEST(AssertionReport, EachMechanismReportsTheFailedCheck) {
  const struct {
    const char* mechanism;
    std::function<void()> fail;
    std::string report;
  } rows[] = {
      {"PLINTH_CHECK", CheckFails,
       Record("1 + 1 == 3", "tests/platform/assertion_report_test:" + std::to_string(kCheckLine) +
                                ":void {anonymous}::CheckFails()")},
      {"ReportAssertionMessage",
       [] {
         ReportAssertionMessage("lib/platform/singleton", 117, "f()", "Invalid pointer", "Pointer=%p",
                                reinterpret_cast<void*>(0x10));
         std::abort();
       },
       "\r\nASSERT FAILED: Invalid pointer\r\nPointer=0x10\r\nlib/platform/singleton:117:f()\r\n\r\n"},
      {"assert", AssertFails,
       "GLIBC assert\r\n" + Record("x > 0", "tests/platform/assertion_report_test.cpp:" +
                                                std::to_string(kAssertLine) +
                                                ":void {anonymous}::AssertFails()")},
      {"__assert_perror_fail", [] { __assert_perror_fail(EPERM, "file.c", 7, "g()"); },
       Record("Operation not permitted", "file.c:7:g()")},
      {"__assert", [] { __assert("y", "file.c", 8); }, Record("y", "file.c:8:UNKNOWN")},
      {"uncaught exception",
       [] { []() noexcept { std::rethrow_exception(std::make_exception_ptr(7)); }(); },
       "Unhandled exception of type 'i'.\n  unknown exception type.\n" + kTerminateRecord},
      {"terminate without exception", [] { std::terminate(); },
       "std::terminate called without current exception\n" + kTerminateRecord},
      {"unexpected", [] { std::unexpected(); },
       "std::unexpected called without current exception\n" +
           Record("false", "lib/platform/exception_handlers:73:void {anonymous}::UnexpectedHandler()")},
  };
  for (const auto& row : rows) EXPECT_EQ(ReportOf(row.fail), row.report) << row.mechanism;
}

// The report with a detail line, in the kernel log: one critical record of the user facility.
TEST(AssertionReport, AReportWithADetailIsOneCriticalKernelLogRecord) {
  const int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(lseek(kmsg, 0, SEEK_END), 0);
  const std::string marker = "ttyweave-detail-" + std::to_string(getpid());
  ReportAssertionMessage("file", 7, "f()", marker.c_str(), "Pointer=%p", nullptr);
  std::string found;
  char record[8192];
  for (ssize_t n; found.empty() && ((n = read(kmsg, record, sizeof record)) > 0 || errno == EPIPE);)
    if (n > 0 && std::string(record, n).find(marker) != std::string::npos) found.assign(record, n);
  close(kmsg);
  EXPECT_EQ(found.substr(0, found.find(',')), "10") << found;  // user facility (1), critical (2)
  EXPECT_NE(found.find(";User space assert from " + std::to_string(getpid()) + ": " + marker +
                       "\\x0aPointer=(nil)ASSERT Executing file:7:f()\n"),
            std::string::npos)
      << found;
}

}  // namespace
