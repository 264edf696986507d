// Fails one check, chosen by its argument, after printing the line of that check and its own
// process id on standard output, so that tests can match a trace event or a kernel log record
// to it:
//   check     a failed PLINTH_CHECK
//   assert    a failed assert()
//   message   ReportAssertionMessage, then abort()
// assert() must stay active here whatever the build type.
#undef NDEBUG
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "assertion_report.h"

// Prints the line it stands on, then runs `failing_check`, written on that same line.
#define FAIL_AT_THIS_LINE(failing_check)        \
  do {                                          \
    std::printf("%d %d\n", __LINE__, getpid()); \
    std::fflush(stdout);                        \
    failing_check;                              \
  } while (false)

namespace {

// Reports a failed check with a detail line, as the singleton checks do, then aborts.
[[noreturn]] void FailWithMessage(unsigned line, const char* road) {
  ReportAssertionMessage("tests/platform/assertion_trace_program", line, __PRETTY_FUNCTION__,
                         "never", "road=%s\n", road);
  std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  const char* road = argc == 2 ? argv[1] : "";
  const bool never = argc < 0;  // false, but not known to be so at compile time
  if (std::strcmp(road, "check") == 0) FAIL_AT_THIS_LINE(PLINTH_CHECK(never));
  if (std::strcmp(road, "assert") == 0) FAIL_AT_THIS_LINE(assert(never));
  if (std::strcmp(road, "message") == 0) FAIL_AT_THIS_LINE(FailWithMessage(__LINE__, road));
  std::fprintf(stderr, "usage: %s check|assert|message\n", argv[0]);
  return 2;
}
