// SPDX-License-Identifier: MIT
#include "string_operations.h"

#include <algorithm>
#include <cstdio>

#include "assertion_report.h"

namespace {

// Most diagnostics fit here without touching the heap.
constexpr std::size_t kStackBufferSize = 256;
// Report lines that log tooling matches for a failed formatting call.
constexpr unsigned kFirstFormatReportLine = 241;
constexpr unsigned kSecondFormatReportLine = 270;

[[noreturn]] void ReportFormatFailure(unsigned line) {
  ReportAssertion("lib/platform/string_operations", line,
                  "std::__cxx11::string strvprintf(const char*, va_list)", "false");
  std::abort();
}

}  // namespace

std::string strvprintf(const char* format, va_list args) {
  char stack_buffer[kStackBufferSize];
  va_list first_pass;
  va_copy(first_pass, args);
  const int length = std::vsnprintf(stack_buffer, sizeof stack_buffer, format, first_pass);
  va_end(first_pass);
  if (length < 0) ReportFormatFailure(kFirstFormatReportLine);
  if (static_cast<std::size_t>(length) < kStackBufferSize) return std::string(stack_buffer, length);

  const std::size_t kept = std::min<std::size_t>(length, kMaxFormattedLength);
  std::string result(kept, '\0');
  va_list second_pass;
  va_copy(second_pass, args);
  // std::string keeps room for a terminating NUL past size().
  const int again = std::vsnprintf(result.data(), kept + 1, format, second_pass);
  va_end(second_pass);
  if (again < 0) ReportFormatFailure(kSecondFormatReportLine);
  if (static_cast<std::size_t>(length) > kMaxFormattedLength) result.replace(kept - 3, 3, "...");
  return result;
}

std::string strprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = strvprintf(format, args);
  va_end(args);
  return result;
}
