// SPDX-License-Identifier: MIT
#include "assertion_report.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "assertion_trace.h"

namespace {

constexpr char kKernelLog[] = "/dev/kmsg";

}  // namespace

void ReportAssertion(const char* file, unsigned line, const char* function,
                     const char* expression) {
  RaiseAssertionTraceEvent(line);
  if (FILE* kmsg = std::fopen(kKernelLog, "w")) {
    // The stream is fully buffered: both lines reach the kernel in one write at fclose.
    std::fprintf(kmsg, "<2>User space assert from process %d: %s\n", getpid(), expression);
    std::fprintf(kmsg, "ASSERT Executing %s:%u:%s\n", file, line, function);
    std::fclose(kmsg);
    return;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "\r\nASSERT FAILED: %s", expression);
  std::fprintf(stderr, "\r\n%s:%u:%s\r\n", file, line, function);
  std::fprintf(stderr, "\r\n");
}

void ReportAssertionMessage(const char* file, unsigned line, const char* function,
                            const char* expression, const char* format, ...) {
  RaiseAssertionTraceEvent(line);
  va_list args;
  va_start(args, format);
  if (FILE* kmsg = std::fopen(kKernelLog, "w")) {
    std::fprintf(kmsg, "<2>User space assert from %d: %s\n", getpid(), expression);
    std::vfprintf(kmsg, format, args);
    std::fprintf(kmsg, "ASSERT Executing %s:%u:%s\n", file, line, function);
    std::fclose(kmsg);
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "\r\nASSERT FAILED: %s\r\n", expression);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\r\n%s:%u:%s\r\n", file, line, function);
    std::fprintf(stderr, "\r\n");
  }
  va_end(args);
}
