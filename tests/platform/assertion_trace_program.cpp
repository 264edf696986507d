// Fails one check, chosen by its argument, after printing the line of that check and its own
// process id on standard output, so that tests can match a trace event or a kernel log record
// to it:
//   check     a failed PLINTH_CHECK
//   assert    a failed assert()
//   message   ReportAssertionMessage, then abort()
// or, started with only descriptors 0 to 2 open, tells what the trace point library opened
// before main and which of those a program started from here would inherit:
//   descriptors   an "inheritable FD TARGET" line for each such descriptor, then "open N"
// assert() must stay active here whatever the build type.
#undef NDEBUG
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Lists the descriptors above 2: all were opened in this process before main.
int ListDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 3;
  const int own = dirfd(folder);
  int open_count = 0;
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == own) continue;
    ++open_count;
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) < 0) std::strcpy(target, "?");
      std::printf("inheritable %d %s\n", fd, target);
    }
  }
  closedir(folder);
  std::printf("open %d\n", open_count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* road = argc == 2 ? argv[1] : "";
  const bool never = argc < 0;  // false, but not known to be so at compile time
  if (std::strcmp(road, "check") == 0) FAIL_AT_THIS_LINE(PLINTH_CHECK(never));
  if (std::strcmp(road, "assert") == 0) FAIL_AT_THIS_LINE(assert(never));
  if (std::strcmp(road, "message") == 0) FAIL_AT_THIS_LINE(FailWithMessage(__LINE__, road));
  if (std::strcmp(road, "descriptors") == 0) return ListDescriptors();
  std::fprintf(stderr, "usage: %s check|assert|message|descriptors\n", argv[0]);
  return 2;
}
