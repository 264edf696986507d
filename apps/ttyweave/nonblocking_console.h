// SPDX-License-Identifier: MIT
#pragma once

// The console (descriptors 0 and 1) made non-blocking for as long as this object lives, on an
// open file of the session's own: a terminal handed over by whoever started the daemon is opened
// again (init often makes 0, 1 and 2 one open file, and the program's standard error must stay
// blocking). A pseudo-terminal master cannot be opened again (that would make a new
// pseudo-terminal): its own open file is used, and its flags are put back when the object ends.
class NonBlockingConsole {
 public:
  // Throws ErrnoException("reopen console" or "nonblock").
  NonBlockingConsole();
  ~NonBlockingConsole();
  NonBlockingConsole(const NonBlockingConsole&) = delete;
  NonBlockingConsole& operator=(const NonBlockingConsole&) = delete;

 private:
  int m_shared_flags;  // the master's status flags as found; -1 when the open file is our own
};
