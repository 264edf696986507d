// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

#include "file_descriptor.h"

// Catches every signal whose default action ends the process and that a program sends rather
// than a fault raises (SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, the real-time
// signals, ...) for the poll loop: each makes Fd() readable and is kept as Received(), so the
// client can restore the terminal before it ends. A self-pipe rather than a signal descriptor,
// because the handler also interrupts a write to standard output that is stuck (a terminal
// stopped with ^S, a full pipe), which a blocked signal could not; and it makes standard output
// non-blocking, so that a write begun just after the signal returns at once too (the flags come
// back with the destructor). Also ignores SIGPIPE, so that writing to a closed peer fails with
// EPIPE instead. On request it also catches SIGWINCH, the terminal's change of size, on a pipe
// of its own that only the loop watches (a write to standard output that waits must not wake for
// it). One instance per process.
class TerminationSignals {
 public:
  // Throws SystemCallError("pipe2" or "sigaction").
  TerminationSignals();
  // Gives the signals their default actions back.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable once one of the signals has arrived.
  int Fd() const { return m_read_end.Get(); }
  // The first of the signals that arrived, or 0.
  int Received() const { return sm_received; }

  // Catches SIGWINCH from now on: each makes WindowChangeFd() readable. Throws SystemCallError.
  void CatchWindowChanges();
  // -1 until window changes are caught.
  int WindowChangeFd() const { return m_window_read_end.Get(); }
  // Empties WindowChangeFd(); whether a change of size had come.
  bool TakeWindowChange() const;

 private:
  static void Catch(int signal_number);
  static void CatchWindowChange(int signal_number);

  static volatile std::sig_atomic_t sm_received;
  static int sm_write_end;
  static int sm_window_write_end;
  // Standard output's file status flags as found (-1: unknown, left alone).
  static int sm_output_flags;
  FileDescriptor m_read_end;
  FileDescriptor m_write_end;
  FileDescriptor m_window_read_end;
  FileDescriptor m_window_write_end;
};
