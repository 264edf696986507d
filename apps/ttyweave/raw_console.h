// SPDX-License-Identifier: MIT
#pragma once

#include <termios.h>

// A terminal's line discipline made raw for as long as this object lives: no echo, no line
// buffering, no keys that raise signals, no input or output processing, so that every key reaches
// the program as a byte and the program's bytes reach the line unchanged. The line's own settings
// (speed, character size, parity, flow control) stay as they were found; every setting is put
// back exactly when the object ends.
class RawConsole {
 public:
  // Does nothing when `fd` is no terminal; prints a line when the raw mode cannot be set.
  explicit RawConsole(int fd);
  ~RawConsole();
  RawConsole(const RawConsole&) = delete;
  RawConsole& operator=(const RawConsole&) = delete;

 private:
  int m_fd;
  bool m_changed;
  termios m_found;
};
