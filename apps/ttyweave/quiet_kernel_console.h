// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// The kernel's console log level (the first of the four numbers of /proc/sys/kernel/printk)
// turned down to 0 for as long as this object lives, so that the kernel prints nothing on the
// console itself, and put back as it was when the object ends. The other numbers are never
// written.
class QuietKernelConsole {
 public:
  // Reads the level, then writes 0. Throws ErrnoException when the file cannot be read or
  // written, std::runtime_error when it holds no level.
  QuietKernelConsole();
  // Writes the level that was read; a failure is printed on stderr.
  ~QuietKernelConsole();
  QuietKernelConsole(const QuietKernelConsole&) = delete;
  QuietKernelConsole& operator=(const QuietKernelConsole&) = delete;

 private:
  std::string m_level;
};
