// SPDX-License-Identifier: MIT
#pragma once

#include <termios.h>

// Raw mode for the user's terminal while the client runs: no echo, no line editing, no signals
// from keys, no output processing, so that every byte passes both ways unchanged (^C and ^Z go
// to the session). The settings it found come back with Restore() or the destructor, whichever
// comes first, or just before a fault signal (SIGSEGV, SIGABRT, ...) ends the process. One
// instance per process.
class RawTerminal {
 public:
  // Does nothing when `fd` is not a terminal. Throws SystemCallError("tcgetattr" or
  // "tcsetattr").
  explicit RawTerminal(int fd);
  ~RawTerminal() { Restore(); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // Whether the terminal is in raw mode now.
  bool IsRaw() const { return m_raw; }
  // Puts back the settings found. A failure is written to standard error, except on a
  // terminal that has hung up (EIO), which has no settings left to restore.
  void Restore();

 private:
  int m_fd;
  bool m_raw;
  termios m_found;
};
