// SPDX-License-Identifier: MIT
// SharedSession: signals. They arrive as records on a signal descriptor, polled with the
// session's other descriptors: the child's end and SIGTERM end the session with their exit
// status, and a write to a vanished terminal (SIGPIPE) cannot kill the daemon.
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "shared_session.h"

void SharedSession::SetupSignals() {
  sigset_t handled;
  sigemptyset(&handled);
  AddHandledSignals(&handled);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  const int fd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) throw ErrnoException(errno, "signalfd");
  m_fds[kSignalSlot] = {fd, POLLIN, 0};
}

void SharedSession::HandleSignal() {
  // One record per pass: further pending signals keep the descriptor readable for the next.
  signalfd_siginfo record;
  if (read(m_fds[kSignalSlot].fd, &record, sizeof record) != sizeof record) {
    SafeFprintf(stderr, "Failed to read signal\n");
    return;
  }
  const unsigned signal_number = record.ssi_signo;
  SafeFprintf(stderr, "ttyweave: Received signal %u\n", signal_number);
  switch (signal_number) {
    case SIGTERM:
      // Once the program has ended its status stands; SIGTERM only cuts its last output short.
      if (ChildReaped()) {
        m_final_output_cut = true;
      } else {
        m_exit = true;
        m_exit_status = kTerminatedExitStatus;
      }
      break;
    case SIGHUP:
    case SIGINT:
      break;
    case SIGCHLD:
      ReapChildren();
      break;
    default:
      SafeFprintf(stderr, "ttyweave: Unexpected signal %u\n", signal_number);
      break;
  }
}

// SIGCHLDs do not queue: one record may stand for several ended children, and its pid for any of
// them. So every record looks for the program's own end first, then reaps every other child that
// has ended (one a start script left running, or an orphan when the daemon is the first process
// of its namespace); only the program's end ends the session.
void SharedSession::ReapChildren() {
  bool reaped_any = false;
  if (!ChildReaped()) reaped_any = Reap(m_child_pid);
  while (Reap(-1)) reaped_any = true;
  if (!reaped_any)
    SafeFprintf(stderr, "ttyweave: received SIGCHLD but there was nothing to wait for\n");
}

// One waitpid without waiting; false when nothing has ended (or no child is left).
bool SharedSession::Reap(pid_t which) {
  int status = 0;
  const pid_t pid = waitpid(which, &status, WNOHANG);
  if (pid < 0) {
    // ECHILD from the sweep only says that no other child is left.
    if (which != -1 || errno != ECHILD)
      SafeFprintf(stderr, "ttyweave: waitpid failed: %s\n", std::strerror(errno));
    return false;
  }
  if (pid == 0) return false;
  int exit_status;
  if (WIFEXITED(status)) {
    exit_status = WEXITSTATUS(status);
    SafeFprintf(stderr, "ttyweave: Child exited: %u\n", static_cast<unsigned>(exit_status));
  } else {
    exit_status = kChildKilledExitStatus;
    SafeFprintf(stderr, "ttyweave: Child exited on signal %d\n", WTERMSIG(status));
  }
  if (pid != m_child_pid) return true;
  m_child_pid = kNoChild;
  if (m_master_ended) CloseMaster();
  // The program's status is the daemon's from now on, even if SIGTERM came first.
  m_exit = true;
  m_exit_status = exit_status;
  return true;
}
