// SPDX-License-Identifier: MIT
// The C library's assertion entry points, replaced so that every assert() in the process,
// shared libraries included, reports through ReportAssertion. Linked into executables only,
// which export these symbols dynamically.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "assertion_report.h"

extern "C" {

[[noreturn]] void __assert_fail(const char* expression, const char* file, unsigned line,
                                const char* function) noexcept {
  std::puts("GLIBC assert\r");
  // abort() discards buffered output: make sure the line is not lost.
  std::fflush(stdout);
  ReportAssertion(file, line, function, expression);
  std::abort();
}

[[noreturn]] void __assert_perror_fail(int errnum, const char* file, unsigned line,
                                       const char* function) noexcept {
  ReportAssertion(file, line, function, std::strerror(errnum));
  std::abort();
}

[[noreturn]] void __assert(const char* expression, const char* file, int line) noexcept {
  ReportAssertion(file, static_cast<unsigned>(line), "UNKNOWN", expression);
  std::abort();
}

}  // extern "C"
