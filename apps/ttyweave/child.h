// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <optional>

#include "file_descriptor.h"
#include "poll_set.h"
#include "window_size_protocol.h"

// Sets O_NONBLOCK on `fd`, keeping its other status flags. Throws ErrnoException("nonblock").
void SetNonBlocking(int fd);

// The program on its pseudo-terminal: the master the session reads and writes, and the child
// process. The master stays open until the child has been reaped, even after its end: closing
// it would hang up a program still running.
class Child : public PollSource {
 public:
  // Opens the pseudo-terminal master. Throws ErrnoException("openpt", "unlockpt" or "nonblock").
  Child();
  // Stops a child that still runs (Stop).
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] (looked up on PATH) with `argv` (null-terminated) on the raw pseudo-terminal
  // slave, as a session leader whose controlling terminal is the slave; its standard error stays
  // ours. Throws ErrnoException("ptsname", "open slave pty" or "fork").
  void Start(char** argv);
  // SIGTERM, a second's grace, SIGKILL. The child is not waited for.
  void Stop();
  // Gives the pseudo-terminal this size; once the program runs, the kernel sends it SIGWINCH
  // (when the size is another). Nothing once the master is closed. Throws
  // ErrnoException("TIOCSWINSZ").
  void SetWindowSize(WindowSize size);
  // Started and not yet reaped.
  bool IsRunning() const { return m_pid.has_value(); }
  std::optional<pid_t> Pid() const { return m_pid; }
  // The child has been reaped: a master that reported its end is closed now.
  void Reaped();

  int MasterFd() const { return m_master.Get(); }
  // Open and not yet at its end.
  bool MasterReadable() const { return m_master.IsOpen() && !m_master_ended; }
  // What the master waits for in this pass: output when the terminals have room for it, room
  // for the terminals' keys while the program runs.
  short Request(bool output_room, bool input_waiting);
  // In this pass's poll: a hang-up is reported whatever is requested, so while the terminals
  // hold its last bytes back, the master sits out of it.
  bool InPoll() const { return MasterReadable() && m_requested != 0; }
  // After the poll: what it returned tells whether the master may hold output.
  void AfterPoll();
  // Whether the master may hold output, as far as the last poll tells: not asked while the
  // terminals hold it back, it may hold more then.
  bool MayHoldOutput() const { return m_may_hold_output; }
  // The program closed its terminal, though it may still run: the master leaves the poll, and
  // is closed once the child has been reaped.
  void StopReadingMaster();

 private:
  void CloseMaster();

  FileDescriptor m_master;
  std::optional<pid_t> m_pid;
  bool m_master_ended = false;
  bool m_may_hold_output = false;
  short m_requested = 0;
};
