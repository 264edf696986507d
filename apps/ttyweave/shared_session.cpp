// SPDX-License-Identifier: MIT
// SharedSession: the object itself, the child program on the pseudo-terminal, and the exit
// status the session ends with.
#include "shared_session.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "assertion_report.h"
#include "close_on_exec.h"
#include "errno_exception.h"
#include "safe_fprintf.h"
#include "string_operations.h"
#include "terminal_mode.h"

namespace {

// Room for any /dev/pts path.
constexpr size_t kSlaveNameSize = 64;
// How long a child has to end by itself after SIGTERM before it is killed.
constexpr time_t kChildGraceSeconds = 1;

// The child's exit statuses for failures before its program runs.
constexpr int kExecFailedStatus = 2;
constexpr int kSetControllingTtyFailedStatus = 123;
constexpr int kSetForegroundFailedStatus = 124;
constexpr int kSetsidFailedStatus = 125;

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
  if (slave > 1) close(slave);
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

void AddHandledSignals(sigset_t* set) {
  sigaddset(set, SIGPIPE);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGUSR1);
  sigaddset(set, SIGCHLD);
}

SharedSession::SharedSession()
    : m_master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)),
      m_fds{},
      m_terminals(0),
      m_child_pid(kNoChild),
      m_exit(false),
      m_exit_status(kSessionLostExitStatus),
      m_log_level(0),
      m_kmsg_fd(-1),
      m_next_terminal_number(kSerialConsoleNumber + 1),
      m_most_viewers(0),
      m_listeners{Listener(TerminalKind::kNetwork, kListenerSlot),
                  Listener(TerminalKind::kViewer, kViewListenerSlot)},
      m_serial_failed(false),
      m_serial_lost_bytes(0),
      m_master_may_hold_output(false),
      m_master_ended(false),
      m_final_output_cut(false) {
  if (m_master < 0) throw ErrnoException(errno, "openpt");
  if (unlockpt(m_master) < 0) {
    const int error = errno;
    close(m_master);
    throw ErrnoException(error, "unlockpt");
  }
  // The loop must wait only in poll: it reads the master again until it has nothing more, and
  // a write that finds less room than poll promised returns short instead of blocking.
  try {
    SetNonBlocking(m_master);
  } catch (...) {
    close(m_master);
    throw;
  }
  m_fds[kMasterSlot].fd = m_master;
  // Slots nobody has set yet stay out of the poll: descriptor 0 is the serial console, whose
  // conditions and input belong to its terminal slot alone.
  m_fds[kListenerSlot].fd = -1;
  m_fds[kSignalSlot].fd = -1;
  m_fds[kKmsgSlot].fd = -1;
  m_fds[kViewListenerSlot].fd = -1;
}

SharedSession::~SharedSession() {
  if (!ChildReaped()) StopChild();
  if (m_master >= 0) close(m_master);
  for (size_t i = 0; i < m_terminals; ++i)
    if (!IsSerialConsole(i)) close(TerminalFd(i));
  for (const Listener& listener : m_listeners)
    if (listener.fd >= 0) close(listener.fd);
  if (m_fds[kSignalSlot].fd >= 0) close(m_fds[kSignalSlot].fd);
  if (m_kmsg_fd >= 0) close(m_kmsg_fd);
}

void SharedSession::StartChild(int /*argc*/, char** argv) {
  char slave_name[kSlaveNameSize];
  const int named = ptsname_r(m_master, slave_name, sizeof slave_name);
  if (named != 0) throw ErrnoException(named, "ptsname");
  const int slave = open(slave_name, O_RDWR | O_NOCTTY);
  if (slave < 0) throw ErrnoException(errno, "open slave pty");
  // Bytes pass unchanged both ways: no echo, no line editing, no translation.
  SetRawMode(slave);
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = fork();
  if (pid == 0) RunChild(slave, argv);
  const int fork_error = errno;
  close(slave);
  // Without a child the session would have nothing to share and nothing that ends it.
  if (pid < 0) throw ErrnoException(fork_error, "fork");
  m_child_pid = pid;
}

void SharedSession::StartLog(const std::string& path, size_t size_limit, char** argv) {
  std::string program;
  for (char** arg = argv; *arg != nullptr; ++arg)
    program += std::string(arg == argv ? "" : " ") + *arg;
  m_log.emplace(path, size_limit, program);
}

// The mark of the session's end, and what was gathered written at once.
void SharedSession::EndLog() {
  if (!m_log) return;
  MarkLeftOutEvents(true);
  m_log->Mark(strprintf("session ended: status %d", m_exit_status));
  m_log->Write();
}

void SharedSession::StopChild() {
  kill(m_child_pid, SIGTERM);
  SleepFully(kChildGraceSeconds);
  kill(m_child_pid, SIGKILL);
}

int SharedSession::GetExitStatus() const {
  PLINTH_CHECK(m_exit);
  return m_exit_status;
}
