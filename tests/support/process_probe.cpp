#include "process_probe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "wait_until.h"

double CpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) throw std::runtime_error("no such process");
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  unsigned long long utime = 0, stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

unsigned long ContextSwitches(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  unsigned long total = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      total += std::stoul(line.substr(line.find(':') + 1));
  }
  return total;
}

bool WaitUntilStopped(pid_t pid, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [pid] {
        std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const size_t name_end = stat.rfind(')');
        return name_end != std::string::npos && stat.size() > name_end + 2 &&
               stat[name_end + 2] == 'T';
      },
      timeout);
}

int ExitCodeOf(const std::optional<int>& status) {
  EXPECT_TRUE(status.has_value()) << "the process did not end";
  if (!status) return -1;
  EXPECT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}
