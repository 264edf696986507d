// SPDX-License-Identifier: MIT
#include "nonblocking_console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "child.h"
#include "errno_exception.h"
#include "file_descriptor.h"

namespace {

bool IsPseudoTerminalMaster(int fd) {
  unsigned int number;
  return ioctl(fd, TIOCGPTN, &number) == 0;
}

// Puts a new open file of the terminal on descriptor 0 on descriptors 0 and 1.
void ReopenConsole() {
  // The device of descriptor 0 itself, even where /dev has no name for it. O_NONBLOCK: a serial
  // line without CLOCAL would otherwise wait here for its carrier.
  const FileDescriptor fd(open("/proc/self/fd/0", O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!fd.IsOpen()) throw ErrnoException(errno, "reopen console");
  if (dup2(fd.Get(), 0) < 0 || dup2(fd.Get(), 1) < 0) throw ErrnoException(errno, "reopen console");
}

}  // namespace

NonBlockingConsole::NonBlockingConsole() : m_shared_flags(-1) {
  if (IsPseudoTerminalMaster(0)) {
    m_shared_flags = fcntl(0, F_GETFL);
    if (m_shared_flags < 0 || dup2(0, 1) < 0) throw ErrnoException(errno, "nonblock");
  } else if (isatty(0)) {
    ReopenConsole();
  }
  // Otherwise start-up opened the serial device itself, on 0 and 1. Either way 0 and 1 are now
  // one open file.
  SetNonBlocking(0);
}

NonBlockingConsole::~NonBlockingConsole() {
  if (m_shared_flags >= 0) fcntl(0, F_SETFL, m_shared_flags);
}
