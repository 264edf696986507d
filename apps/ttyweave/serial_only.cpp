// SPDX-License-Identifier: MIT
#include "serial_only.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "close_on_exec.h"
#include "errno_exception.h"
#include "safe_fprintf.h"

void ExecProgram(int /*argc*/, char** argv) {
  CloseOnExecAboveStandardDescriptors();
  execvp(argv[0], argv);
  throw ErrnoException(errno, argv[0]);
}

void RunSerialOnly(int argc, char** argv) {
  SafeFprintf(stderr, "ttyweave: serial console only\n");
  // 1: take the terminal even from another session that has it.
  if (ioctl(0, TIOCSCTTY, 1) < 0) {
    const int error = errno;
    SafeFprintf(stderr, "Failed to make our terminal controlling: %s\n", std::strerror(error));
    // Without a terminal on descriptor 0 the program still runs, just without job control.
    if (error != ENOTTY) throw ErrnoException(error, "set-ctty");
  }
  setenv("CONSOLE_SERIAL", "1", 1);
  unsetenv("CONSOLE_MULTI");
  ExecProgram(argc - 1, argv + 1);
}
