// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "file_descriptor.h"

// The kernel's console log level (the first of the four numbers of /proc/sys/kernel/printk)
// turned down to 0 for as long as this object lives, so that the kernel prints nothing on the
// console itself, and put back as it was when the object ends. The other numbers are never
// written. The level found is also kept in /run until it is put back, so that the session after
// one that was killed puts back the level from before it, not the 0 that it left.
class QuietKernelConsole {
 public:
  // Reads the level (or, when it is 0, the one a killed session kept), keeps it in /run, then
  // writes 0. Throws ErrnoException when the kernel's file cannot be read or written,
  // std::runtime_error when it holds no level; a level that cannot be kept is said on stderr.
  QuietKernelConsole();
  // Writes the level that was found and forgets the kept one; a failure is printed on stderr.
  ~QuietKernelConsole();
  QuietKernelConsole(const QuietKernelConsole&) = delete;
  QuietKernelConsole& operator=(const QuietKernelConsole&) = delete;

 private:
  std::string m_level;
  FileDescriptor m_run_folder;  // none: nothing kept
};
