// SPDX-License-Identifier: MIT
#include "raw_console.h"

#include <cerrno>
#include <cstring>

#include "safe_fprintf.h"
#include "terminal_mode.h"

RawConsole::RawConsole(int fd) : m_fd(fd), m_changed(false), m_found{} {
  if (tcgetattr(fd, &m_found) != 0) return;
  termios raw = m_found;
  // The line's speed, size, parity and hardware flow control are the kernel's or init's choice.
  MakeRaw(&raw, LineSettings::kKeptAsFound);
  // TCSANOW: keys typed already are kept, and nothing waits for a line that output cannot leave.
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    SafeFprintf(stderr, "Failed to make the console raw: %s\n", std::strerror(errno));
    return;
  }
  m_changed = true;
}

RawConsole::~RawConsole() {
  if (m_changed && tcsetattr(m_fd, TCSANOW, &m_found) != 0)
    SafeFprintf(stderr, "Failed to restore the console's settings: %s\n", std::strerror(errno));
}
