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
      m_exit = true;
      m_exit_status = kTerminatedExitStatus;
      break;
    case SIGHUP:
    case SIGINT:
      break;
    case SIGCHLD:
      ReapChild(static_cast<pid_t>(record.ssi_pid));
      break;
    default:
      SafeFprintf(stderr, "ttyweave: Unexpected signal %u\n", signal_number);
      break;
  }
}

// Exactly one waitpid per SIGCHLD record; only the session's own child ends the session.
void SharedSession::ReapChild(pid_t pid) {
  int status = 0;
  const pid_t reaped = waitpid(pid, &status, WNOHANG);
  if (reaped < 0) {
    SafeFprintf(stderr, "ttyweave: waitpid failed: %s\n", std::strerror(errno));
    return;
  }
  if (reaped == 0) {
    SafeFprintf(stderr, "ttyweave: received SIGCHLD but there was nothing to wait for\n");
    return;
  }
  int exit_status;
  if (WIFEXITED(status)) {
    exit_status = WEXITSTATUS(status);
    SafeFprintf(stderr, "ttyweave: Child exited: %u\n", static_cast<unsigned>(exit_status));
  } else if (WIFSIGNALED(status)) {
    exit_status = kChildKilledExitStatus;
    SafeFprintf(stderr, "ttyweave: Child exited on signal %d\n", WTERMSIG(status));
  } else {
    return;
  }
  if (pid != m_child_pid) return;
  m_child_pid = kNoChild;
  m_exit = true;
  m_exit_status = exit_status;
}
