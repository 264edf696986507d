// SPDX-License-Identifier: MIT
#include "termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system_call_error.h"

namespace {

// The signals whose default action ends the process, except those that report a fault of the
// process itself (RawTerminal sees to those) and the real-time ones, which are numbered at run
// time.
constexpr int kCaughtSignals[] = {SIGTERM, SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGPOLL, SIGVTALRM, SIGPROF,
                                  SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT};

template <typename Action>
void ForEachCaughtSignal(Action action) {
  for (const int signal_number : kCaughtSignals) action(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
    action(signal_number);
}

int MakePipe(int ends[2]) {
  // Non-blocking: the handler must never wait on a full pipe, and one byte is enough.
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) throw SystemCallError("pipe2", errno);
  return ends[0];
}

void SetAction(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking write or poll returns with EINTR, so the loop sees the signal.
  action.sa_flags = 0;
  if (sigaction(signal_number, &action, nullptr) < 0) throw SystemCallError("sigaction", errno);
}

}  // namespace

volatile std::sig_atomic_t TerminationSignals::sm_received = 0;
int TerminationSignals::sm_write_end = -1;
int TerminationSignals::sm_window_write_end = -1;
int TerminationSignals::sm_output_flags = -1;

TerminationSignals::TerminationSignals() {
  int ends[2];
  m_read_end = FileDescriptor(MakePipe(ends));
  m_write_end = FileDescriptor(ends[1]);
  sm_write_end = ends[1];
  sm_output_flags = fcntl(STDOUT_FILENO, F_GETFL);
  SetAction(SIGPIPE, SIG_IGN);
  ForEachCaughtSignal([](int signal_number) { SetAction(signal_number, Catch); });
}

TerminationSignals::~TerminationSignals() {
  // Cannot fail: the signals are valid and catchable.
  ForEachCaughtSignal([](int signal_number) { signal(signal_number, SIG_DFL); });
  if (m_window_write_end.IsOpen()) signal(SIGWINCH, SIG_DFL);
  sm_write_end = -1;
  sm_window_write_end = -1;
  // Standard output is shared with other processes: it is left as it was found.
  if (sm_received != 0 && sm_output_flags >= 0) fcntl(STDOUT_FILENO, F_SETFL, sm_output_flags);
}

void TerminationSignals::Catch(int signal_number) {
  const int saved_errno = errno;
  if (sm_received == 0) sm_received = signal_number;
  // A write to a stopped terminal that starts after this returns instead of waiting for
  // another signal to interrupt it.
  if (sm_output_flags >= 0) fcntl(STDOUT_FILENO, F_SETFL, sm_output_flags | O_NONBLOCK);
  // A full pipe (EAGAIN) already says that a signal came.
  const ssize_t ignored = write(sm_write_end, "", 1);
  (void)ignored;
  errno = saved_errno;
}

void TerminationSignals::CatchWindowChanges() {
  int ends[2];
  m_window_read_end = FileDescriptor(MakePipe(ends));
  m_window_write_end = FileDescriptor(ends[1]);
  sm_window_write_end = ends[1];
  SetAction(SIGWINCH, CatchWindowChange);
}

bool TerminationSignals::TakeWindowChange() const {
  char drained[64];
  bool changed = false;
  while (read(m_window_read_end.Get(), drained, sizeof drained) > 0) changed = true;
  return changed;
}

void TerminationSignals::CatchWindowChange(int) {
  const int saved_errno = errno;
  // A full pipe (EAGAIN) already says that the size changed.
  const ssize_t ignored = write(sm_window_write_end, "", 1);
  (void)ignored;
  errno = saved_errno;
}
