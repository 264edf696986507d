// SPDX-License-Identifier: MIT
#include "signals.h"

#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "exit_status.h"
#include "safe_fprintf.h"

void AddHandledSignals(sigset_t* set) {
  sigaddset(set, SIGPIPE);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGUSR1);
  sigaddset(set, SIGCHLD);
}

void SignalReceiver::Open() {
  sigset_t handled;
  sigemptyset(&handled);
  AddHandledSignals(&handled);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  m_fd.Reset(signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!m_fd.IsOpen()) throw ErrnoException(errno, "signalfd");
}

std::optional<unsigned> SignalReceiver::Take() {
  signalfd_siginfo record;
  if (read(m_fd.Get(), &record, sizeof record) != sizeof record) {
    SafeFprintf(stderr, "Failed to read signal\n");
    return std::nullopt;
  }
  SafeFprintf(stderr, "ttyweave: Received signal %u\n", record.ssi_signo);
  return record.ssi_signo;
}

bool ReapOne(pid_t which, pid_t* pid, int* exit_status) {
  int status = 0;
  *pid = waitpid(which, &status, WNOHANG);
  if (*pid < 0) {
    // ECHILD from the sweep only says that no other child is left.
    if (which != -1 || errno != ECHILD)
      SafeFprintf(stderr, "ttyweave: waitpid failed: %s\n", std::strerror(errno));
    return false;
  }
  if (*pid == 0) return false;
  if (WIFEXITED(status)) {
    *exit_status = WEXITSTATUS(status);
    SafeFprintf(stderr, "ttyweave: Child exited: %u\n", static_cast<unsigned>(*exit_status));
  } else {
    *exit_status = kChildKilledExitStatus;
    SafeFprintf(stderr, "ttyweave: Child exited on signal %d\n", WTERMSIG(status));
  }
  return true;
}
