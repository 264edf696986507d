// SPDX-License-Identifier: MIT
// SharedSession: the session loop, and the child's side of the byte paths. Each pass decides
// what every descriptor waits for, makes one poll call and serves what became ready, in order:
// signals, kernel log, child, terminals, one new connection; then the deadlines that ran out.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "shared_session.h"

namespace {

constexpr int kNoTimeout = -1;
// Reads of the child's output in one pass while it has more and the terminals take it all:
// enough to carry a flood with few polls, few enough that signals, the kernel log and the
// terminals' keys are still served every few milliseconds.
constexpr int kChildReadsPerPass = 16;

void SetRequested(pollfd& slot, short event, bool wanted) {
  slot.events = wanted ? (slot.events | event) : (slot.events & ~event);
}

}  // namespace

void SharedSession::RunSession() {
  ServeUntilOver();
  EndLog();
}

void SharedSession::ServeUntilOver() {
  while (!SessionOver()) {
    PreparePoll();
    const int ready = poll(m_fds, kFirstTerminalSlot + m_terminals, PollTimeout(Clock::now()));
    if (ready < 0) throw ErrnoException(errno, "poll");
    const Clock::time_point now = Clock::now();
    const pollfd& master = m_fds[kMasterSlot];
    // Not asked while the terminals hold it back: it may hold more then.
    m_master_may_hold_output =
        MasterReadable() && (!(master.events & POLLIN) || (master.revents & (POLLIN | POLLHUP)));
    if (ready > 0) {
      if (m_fds[kSignalSlot].revents != 0) HandleSignal();
      if (m_fds[kKmsgSlot].revents != 0) HandleKmsg();
      if (!ServeChild() || !ServeTerminals()) return;
      for (Listener& listener : m_listeners)
        if (m_fds[listener.slot].revents != 0) AcceptConnection(listener, now);
    }
    ExpireDeadlines(now);
  }
}

// The session ends at once on SIGTERM or when it is lost; after the child's end, once its last
// output has reached every terminal that keeps taking it (ExpireDeadlines lets go of the others),
// or when SIGTERM comes meanwhile.
bool SharedSession::SessionOver() const {
  if (!m_exit) return false;
  if (!DeliveringFinalOutput() || m_final_output_cut) return true;
  return !AnyOutputPending() && !m_master_may_hold_output;
}

bool SharedSession::AnyOutputPending() const {
  for (size_t i = 0; i < m_terminals; ++i)
    if (IsWaitedFor(i) && !m_output.IsEmpty(static_cast<uint32_t>(i))) return true;
  return false;
}

// Sets what every slot waits for from the rings' state. The child is read only while every
// terminal has room for more: a slow terminal holds it back.
void SharedSession::PreparePoll() {
  DropFailedConsoleBacklog();
  bool any_reader_full = false;
  for (size_t i = 0; i < m_terminals; ++i) {
    const bool full = m_output.IsFull(static_cast<uint32_t>(i));
    any_reader_full = any_reader_full || full;
    // Held back, or waiting, from the moment a pass finds it so (a write it takes starts both
    // again). The clock is read now: the pass itself may have taken a while since the poll.
    const auto track = [](std::optional<Clock::time_point>& since, bool holds) {
      if (!holds) {
        since.reset();
      } else if (!since) {
        since = Clock::now();
      }
    };
    track(m_terminal[i].blocked_since, full);
    track(m_terminal[i].idle_since, !m_output.IsEmpty(static_cast<uint32_t>(i)));
  }
  pollfd& master = m_fds[kMasterSlot];
  SetRequested(master, POLLIN, !any_reader_full);
  SetRequested(master, POLLOUT, !m_input.IsEmpty() && !ChildReaped());
  // A hang-up is reported whatever is requested: while the terminals hold its last bytes back,
  // the master sits out the poll.
  master.fd = MasterReadable() && master.events != 0 ? m_master : -1;
  if (!m_kmsg_line.empty() && !any_reader_full) PushKmsgLine();
  // While a line waits, no newer record is read; the descriptor leaves the poll altogether,
  // since a kernel log that lost records reports that whatever is requested.
  m_fds[kKmsgSlot] = {m_kmsg_line.empty() ? m_kmsg_fd : -1, POLLIN, 0};
  for (size_t i = 0; i < m_terminals; ++i) {
    // A viewer is never read: its hang-up is reported whatever is requested.
    SetRequested(TerminalSlot(i), POLLIN, !m_input.IsFull() && !IsViewer(i));
    SetRequested(TerminalSlot(i), POLLOUT, !m_output.IsEmpty(static_cast<uint32_t>(i)));
  }
}

// Until the earliest deadline: a network terminal's 50 ms of holding the child back, a terminal's
// stall, the serial console's back-off, the listeners' rest, the end of the final output, the
// console log's next write. None: no time-out, so an idle session sleeps without waking.
int SharedSession::PollTimeout(Clock::time_point now) const {
  Clock::time_point earliest = Clock::time_point::max();
  // A deadline `after` a moment that is set.
  const auto consider = [&earliest](std::optional<Clock::time_point> since,
                                    Clock::duration after = {}) {
    if (since && *since + after < earliest) earliest = *since + after;
  };
  for (size_t i = 0; i < m_terminals; ++i) {
    const TerminalState& terminal = m_terminal[i];
    if (!IsSerialConsole(i)) consider(terminal.blocked_since, kBlockedTerminalTimeout);
    if (IsSerialConsole(i) ? !m_serial_failed : DeliveringFinalOutput())
      consider(terminal.idle_since, kStalledTerminalTimeout);
    if (terminal.rest == Rest::kAfterError) consider(m_serial_resume_time);
  }
  for (const Listener& listener : m_listeners) consider(listener.retry_at);
  if (m_log) consider(m_log->WriteDeadline());
  if (DeliveringFinalOutput() && !AnyOutputPending()) consider(now);
  if (earliest == Clock::time_point::max()) return kNoTimeout;
  // Rounded up, so that the deadline has passed when poll returns.
  return static_cast<int>(std::max<Clock::rep>(
      0, std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count()));
}

// Output of the child into the output ring and on to the terminals, then the terminals' keys to
// the child. False when the pseudo-terminal failed and the session has ended.
bool SharedSession::ServeChild() {
  const short events = m_fds[kMasterSlot].revents;
  if (events & (POLLERR | POLLNVAL)) {
    // "error/HUP": the wording the device's log tooling knows, though only errors come here.
    SafeFprintf(stderr, "ttyweave: error/HUP from child 0x%x\n", static_cast<unsigned>(events));
    EndSessionWithoutChildStatus();
    return false;
  }
  if ((events & (POLLIN | POLLHUP)) && !ReadChildOutput()) return false;
  if ((events & POLLOUT) && !WriteChildInput()) return false;
  return true;
}

// Reads what the child wrote and passes it straight on to the terminals; again while they take
// it all and the child has more, so that a flood costs few polls.
bool SharedSession::ReadChildOutput() {
  for (int reads = 0; reads < kChildReadsPerPass && MasterReadable(); ++reads) {
    const ByteSpans room = m_output.BeginPush();
    if (room.size == 0) return true;  // a slow terminal holds the child back
    const ssize_t got = readv(m_master, room.parts, room.count);
    if (got > 0) {
      m_output.EndPush(static_cast<int>(got));
      if (m_log) m_log->Take(room, static_cast<size_t>(got));
      WriteToTerminals();
      if (static_cast<size_t>(got) < room.size) return true;  // the child has nothing more now
      continue;
    }
    if (got < 0 && errno == EAGAIN) return true;
    // End of file, or EIO once the slave side has closed: no more output will come. The
    // child's SIGCHLD ends the session.
    if (got == 0 || errno == EIO) {
      StopReadingMaster();
      return true;
    }
    SafeFprintf(stderr, "Read from child failed: %s\n", std::strerror(errno));
    EndSessionWithoutChildStatus();
    return false;
  }
  return true;
}

// Terminals' keys to the child, as many as it takes now; none once it has ended.
bool SharedSession::WriteChildInput() {
  if (!MasterReadable() || m_input.IsEmpty() || ChildReaped()) return true;
  const ByteSpans pending = m_input.BeginPop();
  const ssize_t sent = writev(m_master, pending.parts, pending.count);
  if (sent >= 0) {
    m_input.EndPop(static_cast<int>(sent));
    return true;
  }
  if (errno == EAGAIN) return true;
  SafeFprintf(stderr, "Write to child failed: %s\n", std::strerror(errno));
  EndSessionWithoutChildStatus();
  return false;
}

// The program closed its terminal, though it may still run: closing the master now would hang
// up the slave and send it SIGHUP, ending it with a signal instead of its own status. So the
// master only leaves the poll, and is closed once the child has been reaped.
void SharedSession::StopReadingMaster() {
  m_master_ended = true;
  m_fds[kMasterSlot].fd = -1;
  m_master_may_hold_output = false;
  if (ChildReaped()) CloseMaster();
}

void SharedSession::CloseMaster() {
  close(m_master);
  m_master = -1;
  m_fds[kMasterSlot].fd = -1;
  m_master_may_hold_output = false;
}

// The pseudo-terminal or the serial console failed: the session ends in order (the destructor
// stops the child) with a status that says so, unless a signal already decided one.
void SharedSession::EndSessionWithoutChildStatus() {
  if (m_exit) return;
  m_exit = true;
  m_exit_status = kSessionLostExitStatus;
}
