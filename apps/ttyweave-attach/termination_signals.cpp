#include "termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system_call_error.h"

namespace {

constexpr int kCaughtSignals[] = {SIGTERM, SIGHUP, SIGINT};

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

TerminationSignals::TerminationSignals() {
  int ends[2];
  m_read_end = FileDescriptor(MakePipe(ends));
  m_write_end = FileDescriptor(ends[1]);
  sm_write_end = ends[1];
  SetAction(SIGPIPE, SIG_IGN);
  for (const int signal_number : kCaughtSignals) SetAction(signal_number, Catch);
}

TerminationSignals::~TerminationSignals() {
  // Cannot fail: the signals are valid and catchable.
  for (const int signal_number : kCaughtSignals) signal(signal_number, SIG_DFL);
  sm_write_end = -1;
}

void TerminationSignals::Catch(int signal_number) {
  const int saved_errno = errno;
  if (sm_received == 0) sm_received = signal_number;
  // A full pipe (EAGAIN) already says that a signal came.
  const ssize_t ignored = write(sm_write_end, "", 1);
  (void)ignored;
  errno = saved_errno;
}
