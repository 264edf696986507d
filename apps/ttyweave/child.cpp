// SPDX-License-Identifier: MIT
#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "close_on_exec.h"
#include "errno_exception.h"
#include "exit_status.h"
#include "safe_fprintf.h"
#include "signals.h"
#include "terminal_mode.h"

namespace {

// Room for any /dev/pts path.
constexpr size_t kSlaveNameSize = 64;
// How long a child has to end by itself after SIGTERM before it is killed.
constexpr time_t kChildGraceSeconds = 1;

// Sleeps the whole interval: a signal that interrupts it does not shorten it.
void SleepFully(time_t seconds) {
  timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// In the forked child: makes the slave its terminal and becomes the program. Never returns.
[[noreturn]] void RunChild(int slave, char** argv) {
  dup2(slave, 0);
  dup2(slave, 1);
  if (slave > 1) close(slave);  // the child's copy; the program must not inherit it
  if (setsid() < 0) {
    SafeFprintf(stderr, "Unable to disassociate from controlling tty\n");
    _exit(kSetsidFailedStatus);
  }
  if (getpgrp() != getpid())
    SafeFprintf(stderr, "Child is not a process group leader. That's bad\n");
  if (ioctl(0, TIOCSCTTY, 0) < 0) {
    SafeFprintf(stderr, "Failed to set controlling tty: %s\n", std::strerror(errno));
    _exit(kSetControllingTtyFailedStatus);
  }
  // A process that is not yet in the foreground gets SIGTTOU for taking the foreground.
  signal(SIGTTOU, SIG_IGN);
  const int foreground = tcsetpgrp(0, getpid());
  const int foreground_error = errno;
  signal(SIGTTOU, SIG_DFL);
  if (foreground < 0) {
    SafeFprintf(stderr, "Failed to tcsetpgrp: %s\n", std::strerror(foreground_error));
    _exit(kSetForegroundFailedStatus);
  }
  sigset_t handled;
  sigemptyset(&handled);
  AddHandledSignals(&handled);
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);
  CloseOnExecAboveStandardDescriptors();
  execvp(argv[0], argv);
  SafeFprintf(stderr, "exec failed: %s\n", std::strerror(errno));
  _exit(kExecFailedStatus);
}

}  // namespace

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    throw ErrnoException(errno, "nonblock");
}

Child::Child() : m_master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  if (!m_master.IsOpen()) throw ErrnoException(errno, "openpt");
  if (unlockpt(m_master.Get()) < 0) throw ErrnoException(errno, "unlockpt");
  // The loop must wait only in poll: it reads the master again until it has nothing more, and
  // a write that finds less room than poll promised returns short instead of blocking.
  SetNonBlocking(m_master.Get());
}

Child::~Child() {
  if (IsRunning()) Stop();
}

void Child::Start(char** argv) {
  char slave_name[kSlaveNameSize];
  const int named = ptsname_r(m_master.Get(), slave_name, sizeof slave_name);
  if (named != 0) throw ErrnoException(named, "ptsname");
  FileDescriptor slave(open(slave_name, O_RDWR | O_NOCTTY));
  if (!slave.IsOpen()) throw ErrnoException(errno, "open slave pty");
  // Bytes pass unchanged both ways: no echo, no line editing, no translation.
  SetRawMode(slave.Get());
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = fork();
  if (pid == 0) RunChild(slave.Get(), argv);
  // Without a child the session would have nothing to share and nothing that ends it.
  if (pid < 0) throw ErrnoException(errno, "fork");
  m_pid = pid;
}

void Child::Stop() {
  kill(*m_pid, SIGTERM);
  SleepFully(kChildGraceSeconds);
  kill(*m_pid, SIGKILL);
}

void Child::SetWindowSize(WindowSize size) {
  if (!m_master.IsOpen()) return;
  const winsize window{size.rows, size.columns, 0, 0};
  if (ioctl(m_master.Get(), TIOCSWINSZ, &window) < 0) throw ErrnoException(errno, "TIOCSWINSZ");
}

void Child::Reaped() {
  m_pid.reset();
  if (m_master_ended) CloseMaster();
}

short Child::Request(bool output_room, bool input_waiting) {
  m_requested =
      static_cast<short>((output_room ? POLLIN : 0) | (input_waiting && IsRunning() ? POLLOUT : 0));
  return m_requested;
}

void Child::AfterPoll() {
  m_may_hold_output =
      MasterReadable() && (!(m_requested & POLLIN) || (Returned() & (POLLIN | POLLHUP)));
}

void Child::StopReadingMaster() {
  m_master_ended = true;
  m_may_hold_output = false;
  if (!IsRunning()) CloseMaster();
}

void Child::CloseMaster() {
  m_master.Reset();
  m_may_hold_output = false;
}
