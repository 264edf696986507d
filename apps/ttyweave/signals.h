// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>

#include "file_descriptor.h"
#include "poll_set.h"

// Adds the signals the daemon takes through its signal descriptor instead of letting them act:
// SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGCHLD.
void AddHandledSignals(sigset_t* set);

// The handled signals, as records on a descriptor polled with the session's others: a write to
// a vanished terminal (SIGPIPE) cannot kill the daemon.
class SignalReceiver : public PollSource {
 public:
  // Blocks the handled signals in the calling thread and opens the descriptor they are read
  // from. Call before any other thread exists. Throws ErrnoException("signalfd").
  void Open();
  bool IsOpen() const { return m_fd.IsOpen(); }
  int Fd() const { return m_fd.Get(); }
  bool IsReady() const { return Returned() != 0; }
  // One record (further pending signals keep the descriptor readable for the next pass): its
  // signal, said on stderr; nothing when it could not be read.
  std::optional<unsigned> Take();

 private:
  FileDescriptor m_fd;
};

// One waitpid for `which` without waiting: whether a child was reaped; if so its pid and its exit
// status (kChildKilledExitStatus for one killed by a signal), said on stderr.
bool ReapOne(pid_t which, pid_t* pid, int* exit_status);
