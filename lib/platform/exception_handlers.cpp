// SPDX-License-Identifier: MIT
#include "exception_handlers.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "assertion_report.h"
#include "safe_fprintf.h"
#include "trace.h"

namespace {

constexpr char kSource[] = "lib/platform/exception_handlers";
// Report lines that log tooling matches for an uncaught and an unexpected exception.
constexpr unsigned kTerminateReportLine = 41;
constexpr unsigned kUnexpectedReportLine = 73;

// Prints what is known of the exception in flight; `heading` takes the type's mangled name.
void DescribeCurrentException(const char* no_exception_text, const char* heading) {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) {
    SafeFprintf(stderr, no_exception_text);
    return;
  }
  const char* name = type->name();
  if (*name == '*') ++name;
  SafeFprintf(stderr, heading, name);
  try {
    throw;
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "  what(): %s\n", error.what());
  } catch (...) {
    SafeFprintf(stderr, "  unknown exception type.\n");
  }
}

[[noreturn]] void TerminateHandler() {
  ReportUncaughtException();
  std::abort();
}

[[noreturn]] void UnexpectedHandler() {
  DescribeCurrentException("std::unexpected called without current exception\n",
                           "Unexpected exception of type '%s'.\n");
  PrimaryStderrTrace().Sync();
  ReportAssertion(kSource, kUnexpectedReportLine, __PRETTY_FUNCTION__, "false");
  std::abort();
}

}  // namespace

void ReportUncaughtException() {
  DescribeCurrentException("std::terminate called without current exception\n",
                           "Unhandled exception of type '%s'.\n");
  PrimaryStderrTrace().Sync();
  ReportAssertion(kSource, kTerminateReportLine, "void {anonymous}::TerminateHandler()", "false");
}

void InstallExceptionHandlers() {
  std::set_terminate(TerminateHandler);
  // Still honoured by the C++17 runtime, for code built against older exception specifications.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  std::set_unexpected(UnexpectedHandler);
#pragma GCC diagnostic pop
}
