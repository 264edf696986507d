// SPDX-License-Identifier: MIT
#include "quiet_kernel_console.h"

#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "write_file.h"

namespace {

constexpr char kConsoleLogLevelFile[] = "/proc/sys/kernel/printk";
// The kernel's console log level that prints nothing on the console.
constexpr char kConsoleLoggingOff[] = "0";
// The mode WriteFile would create a missing file with: the kernel's file always exists, so it
// never applies.
constexpr mode_t kConsoleLogLevelFileMode = 0777;

}  // namespace

QuietKernelConsole::QuietKernelConsole() {
  std::ifstream file(kConsoleLogLevelFile);
  if (!file.is_open()) throw ErrnoException(errno, kConsoleLogLevelFile);
  // The kernel takes one number as the new console level and leaves the other three alone.
  if (!(file >> m_level))
    throw std::runtime_error("No console log level in /proc/sys/kernel/printk");
  WriteFile(kConsoleLogLevelFile, kConsoleLoggingOff, kConsoleLogLevelFileMode);
}

QuietKernelConsole::~QuietKernelConsole() {
  try {
    WriteFile(kConsoleLogLevelFile, m_level, kConsoleLogLevelFileMode);
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "ttyweave: Unable to restore the kernel's console log level: %s\n",
                error.what());
  }
}
