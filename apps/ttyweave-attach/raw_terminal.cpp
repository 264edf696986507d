#include "raw_terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system_call_error.h"

namespace {

// TCSANOW rather than waiting for the output to drain: the terminal translates output as it
// is written, so bytes written before keep their form anyway, and a terminal whose output is
// stopped (^S, a stalled link) must not keep the client from ending.
int SetAttributes(int fd, const termios& settings) {
  int result;
  do {
    result = tcsetattr(fd, TCSANOW, &settings);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

RawTerminal::RawTerminal(int fd) : m_fd(fd), m_raw(false), m_found{} {
  if (!isatty(fd)) return;
  if (tcgetattr(fd, &m_found) < 0) throw SystemCallError("tcgetattr", errno);
  termios raw = m_found;
  cfmakeraw(&raw);
  if (SetAttributes(fd, raw) < 0) throw SystemCallError("tcsetattr", errno);
  m_raw = true;
}

void RawTerminal::Restore() {
  if (!m_raw) return;
  m_raw = false;
  if (SetAttributes(m_fd, m_found) < 0 && errno != EIO)
    std::fprintf(stderr, "ttyweave-attach: tcsetattr (restoring the terminal): %s\n",
                 std::strerror(errno));
}
