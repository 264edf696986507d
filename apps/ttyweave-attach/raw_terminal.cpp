// SPDX-License-Identifier: MIT
#include "raw_terminal.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "system_call_error.h"
#include "terminal_mode.h"

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

// Signals that report a fault of the process (or are sent as if they did): they end it, with a
// core dump, and returning from a handler would only repeat the fault.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// The terminal and its settings as found, for the fault handler.
int g_fault_fd = -1;
termios g_fault_settings;

void RestoreAndDie(int signal_number) {
  tcsetattr(g_fault_fd, TCSANOW, &g_fault_settings);
  // The action is the default again (SA_RESETHAND) and the signal not blocked (SA_NODEFER).
  raise(signal_number);
}

void SetFaultAction(void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  for (const int signal_number : kFaultSignals) sigaction(signal_number, &action, nullptr);
}

}  // namespace

RawTerminal::RawTerminal(int fd) : m_fd(fd), m_raw(false), m_found{} {
  if (!isatty(fd)) return;
  if (tcgetattr(fd, &m_found) < 0) throw SystemCallError("tcgetattr", errno);
  termios raw = m_found;
  MakeRaw(&raw, LineSettings::kEightBitsNoParity);
  g_fault_fd = fd;
  g_fault_settings = m_found;
  SetFaultAction(RestoreAndDie, SA_RESETHAND | SA_NODEFER);
  if (SetAttributes(fd, raw) < 0) throw SystemCallError("tcsetattr", errno);
  m_raw = true;
}

void RawTerminal::Restore() {
  if (!m_raw) return;
  m_raw = false;
  SetFaultAction(SIG_DFL, 0);
  if (SetAttributes(m_fd, m_found) < 0 && errno != EIO)
    std::fprintf(stderr, "ttyweave-attach: tcsetattr (restoring the terminal): %s\n",
                 std::strerror(errno));
}
