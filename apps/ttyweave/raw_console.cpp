// SPDX-License-Identifier: MIT
#include "raw_console.h"

#include <cerrno>
#include <cstring>

#include "safe_fprintf.h"

RawConsole::RawConsole(int fd) : m_fd(fd), m_changed(false), m_found{} {
  if (tcgetattr(fd, &m_found) != 0) return;
  termios raw = m_found;
  // As cfmakeraw, but the control flags (the line's speed, size, parity and hardware flow
  // control, whatever the kernel or init chose) and input parity checking stay as found.
  raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY);
  raw.c_oflag &= ~OPOST;
  raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
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
