// The session loop: each pass decides what every descriptor waits for, makes one poll call and
// serves what became ready, in order: signals, kernel log, child, terminals, one new connection.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "shared_session.h"

namespace {

constexpr int kNoTimeout = -1;
// How long a network terminal may hold the child back with nothing else happening before it
// is disconnected: a live client drains a whole ring in far less, and the others stall no longer.
constexpr int kBlockedTerminalTimeoutMs = 50;
// How long the child's last output may still take to reach the terminals after it has ended:
// a serial console at 115200 baud takes a whole ring in a third of that, and the daemon's exit
// is not held up noticeably.
constexpr auto kFinalOutputTimeout = std::chrono::seconds(1);

void SetRequested(pollfd& slot, short event, bool wanted) {
  slot.events = wanted ? (slot.events | event) : (slot.events & ~event);
}

}  // namespace

void SharedSession::RunSession() {
  while (!m_exit) {
    bool blocked_timeout = false;
    const int timeout = PreparePoll(&blocked_timeout);
    const int ready = poll(m_fds, kFirstTerminalSlot + m_terminals, timeout);
    if (ready < 0) throw ErrnoException(errno, "poll");
    // A listener that sat out this poll after a failed accept is polled again.
    if (m_fds[kListenerSlot].fd < -1) m_fds[kListenerSlot].fd = ~m_fds[kListenerSlot].fd;
    if (ready == 0) {
      if (blocked_timeout) DisconnectBlockedTerminals();
      continue;
    }
    if (m_fds[kSignalSlot].revents != 0) HandleSignal();
    if (m_fds[kKmsgSlot].revents != 0) HandleKmsg();
    if (!ServeChild() || !ServeTerminals()) return;
    if (m_fds[kListenerSlot].revents != 0) AcceptConnection();
  }
  if (m_child_pid < 0) DeliverFinalOutput();
}

// Sets what every slot waits for from the rings' state; returns the poll time-out and whether
// running out of it means that a network terminal stayed blocked.
int SharedSession::PreparePoll(bool* blocked_timeout) {
  ResumeParkedTerminals();
  DropParkedConsoleBacklog();
  pollfd& master = m_fds[kMasterSlot];
  SetRequested(master, POLLOUT, !m_input.IsEmpty() && !m_master_hung_up);
  int timeout = HoldUpOutput();
  // After the hang-up only the child's last bytes are read; while the terminals hold them back,
  // the master leaves the poll, since its hang-up is reported whatever is requested.
  master.fd = m_master_hung_up && !(master.events & POLLIN) ? -1 : m_master;
  bool any_reader_full = false;
  for (size_t i = 0; i < m_terminals; ++i)
    any_reader_full = any_reader_full || m_output.IsFull(static_cast<uint32_t>(i));
  if (!m_kmsg_line.empty() && !any_reader_full) PushKmsgLine();
  // While a line waits, no newer record is read; the descriptor leaves the poll altogether,
  // since a kernel log that lost records reports that whatever is requested.
  m_fds[kKmsgSlot] = {m_kmsg_line.empty() ? m_kmsg_fd : -1, POLLIN, 0};
  for (size_t i = 0; i < m_terminals; ++i) {
    SetRequested(TerminalSlot(i), POLLIN, !m_input.IsFull());
    SetRequested(TerminalSlot(i), POLLOUT, !m_output.IsEmpty(static_cast<uint32_t>(i)));
  }
  *blocked_timeout = timeout != kNoTimeout;
  const int serial_retry = SerialRetryTimeout();
  if (serial_retry != kNoTimeout && (timeout == kNoTimeout || serial_retry < timeout)) {
    timeout = serial_retry;
    *blocked_timeout = false;
  }
  return timeout;
}

// The child is read only while every terminal has room for more: a slow terminal holds it
// back. Returns the time-out after which held-up network terminals are disconnected.
int SharedSession::HoldUpOutput() {
  int full_reader = -1;
  for (size_t i = 0; i < m_terminals && full_reader < 0; ++i)
    if (m_output.IsFull(static_cast<uint32_t>(i))) full_reader = static_cast<int>(i);
  SetRequested(m_fds[kMasterSlot], POLLIN, full_reader < 0);
  if (full_reader < 0) return kNoTimeout;
  // The serial console is never disconnected: while it is the one held up, wait for it.
  if (full_reader == 0 && IsSerialConsole(0)) return kNoTimeout;
  return kBlockedTerminalTimeoutMs;
}

// Child output into the output ring, terminal input to the child. False when the
// pseudo-terminal failed and the session has ended.
bool SharedSession::ServeChild() {
  const short events = m_fds[kMasterSlot].revents;
  if (events & (POLLERR | POLLNVAL)) {
    SafeFprintf(stderr, "ttyweave: error/HUP from child 0x%x\n", static_cast<unsigned>(events));
    EndSessionWithoutChildStatus();
    return false;
  }
  if (events & POLLIN) {
    const ByteSpan room = m_output.BeginPush();
    // No room only when a kernel log line took the last of it in this pass.
    const ssize_t got = room.size > 0 ? read(m_master, room.data, room.size) : 0;
    if (got < 0 && errno != EAGAIN && !(events & POLLHUP) && !m_master_hung_up) {
      SafeFprintf(stderr, "Read from child failed: %s\n", std::strerror(errno));
      EndSessionWithoutChildStatus();
      return false;
    }
    if (got > 0) m_output.EndPush(static_cast<int>(got));
    // End of file, or hung up with nothing left after all: no more output will come.
    if ((got == 0 && room.size > 0) || (got < 0 && errno != EAGAIN)) CloseMaster();
  }
  if ((events & POLLOUT) && m_master >= 0) {
    const ByteSpan pending = m_input.BeginPop();
    const ssize_t sent = write(m_master, pending.data, pending.size);
    if (sent < 0 && errno != EAGAIN) {
      SafeFprintf(stderr, "Write to child failed: %s\n", std::strerror(errno));
      EndSessionWithoutChildStatus();
      return false;
    }
    if (sent > 0) m_input.EndPop(static_cast<int>(sent));
  }
  // The slave is closed: what is left is still read (a hang-up reported together with POLLIN
  // comes with data), then the master goes. The child's SIGCHLD ends the session.
  if ((events & POLLHUP) && m_master >= 0) {
    m_master_hung_up = true;
    if (!(events & POLLIN) && (m_fds[kMasterSlot].events & POLLIN)) CloseMaster();
  }
  return true;
}

void SharedSession::CloseMaster() {
  close(m_master);
  m_master = -1;
  m_fds[kMasterSlot].fd = -1;
}

// Each terminal in index order; a removed terminal's place is taken by the next one, with the
// events poll returned for it, so the same index is served again. False when the session ended.
bool SharedSession::ServeTerminals() {
  for (size_t i = 0; i < m_terminals;) {
    switch (ServeTerminal(i)) {
      case TerminalOutcome::kServed:
      case TerminalOutcome::kParked:
        ++i;
        break;
      case TerminalOutcome::kRemoved:
        break;
      case TerminalOutcome::kSessionLost:
        return false;
    }
  }
  return true;
}

SharedSession::TerminalOutcome SharedSession::ServeTerminal(size_t index) {
  const short events = TerminalSlot(index).revents;
  if (events == 0) return TerminalOutcome::kServed;
  const bool serial = IsSerialConsole(index);
  bool in_error = false;
  if (events & (POLLERR | POLLNVAL)) {
    if (!serial) {
      SafeFprintf(stderr, "ttyweave: Terminal %u disconnected due to error\n",
                  static_cast<unsigned>(index));
      RemoveTerminal(index);
      return TerminalOutcome::kRemoved;
    }
    SafeFprintf(stderr, "ttyweave: Serial terminal error\n");
    in_error = true;
  }
  if (events & (POLLIN | POLLHUP)) {
    const TerminalOutcome read_outcome = ReadTerminal(index, events, &in_error);
    if (read_outcome != TerminalOutcome::kServed) return read_outcome;
  }
  if (events & POLLOUT) {
    const TerminalOutcome write_outcome = WriteTerminal(index, &in_error);
    if (write_outcome != TerminalOutcome::kServed) return write_outcome;
  }
  // An error that lasts would be reported again at once: the console rests for a while.
  if (in_error) BackOffSerialConsole(index);
  return TerminalOutcome::kServed;
}

SharedSession::TerminalOutcome SharedSession::ReadTerminal(size_t index, short events,
                                                           bool* in_error) {
  const ByteSpan room = m_input.BeginPush();
  if (room.size == 0) {
    // Terminals before this one filled the input ring: this one's bytes wait in its own buffer.
    // A hang-up keeps being reported while they wait, so the terminal leaves the poll until the
    // ring has room to take them (and then to see the end of file).
    if (events & (POLLHUP | POLLERR | POLLNVAL)) {
      Park(index);
      return TerminalOutcome::kParked;
    }
    return TerminalOutcome::kServed;
  }
  const int fd = TerminalFd(index);
  const ssize_t got = read(fd, room.data, room.size);
  if (got > 0) {
    m_input.EndPush(static_cast<int>(got));
    return TerminalOutcome::kServed;
  }
  const int error = errno;
  const unsigned number = static_cast<unsigned>(index);
  if (got == 0) {
    if (fd != 0) {
      RemoveTerminal(index);
      return TerminalOutcome::kRemoved;
    }
    SafeFprintf(stderr, "ttyweave: EOF on serial terminal\n");
    EndSessionWithoutChildStatus();
    return TerminalOutcome::kSessionLost;
  }
  if (error == EAGAIN) {
    SafeFprintf(stderr, "ttyweave: Terminal %u EAGAIN\n", number);
    return TerminalOutcome::kServed;
  }
  if (fd == 0) {
    SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on read\n", std::strerror(error));
    *in_error = true;
    return TerminalOutcome::kServed;
  }
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on read\n", number,
              std::strerror(error));
  RemoveTerminal(index);
  return TerminalOutcome::kRemoved;
}

SharedSession::TerminalOutcome SharedSession::WriteTerminal(size_t index, bool* in_error) {
  const uint32_t reader = static_cast<uint32_t>(index);
  const ByteSpan pending = m_output.BeginPop(reader);
  if (pending.size == 0) return TerminalOutcome::kServed;
  const int fd = TerminalFd(index);
  const ssize_t sent = write(fd, pending.data, pending.size);
  if (sent >= 0) {
    m_output.EndPop(reader, static_cast<int>(sent));
    return TerminalOutcome::kServed;
  }
  const int error = errno;
  // Someone else (the kernel's own console messages) took the room poll saw: next time.
  if (error == EAGAIN) return TerminalOutcome::kServed;
  if (fd == 0) {
    SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on write\n", std::strerror(error));
    *in_error = true;
    return TerminalOutcome::kServed;
  }
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on write\n",
              static_cast<unsigned>(index), std::strerror(error));
  RemoveTerminal(index);
  return TerminalOutcome::kRemoved;
}

// The child has ended: what it wrote last, still in the pseudo-terminal or the output ring, goes
// on to the terminals that take it within a bounded time. Only output moves now.
void SharedSession::DeliverFinalOutput() {
  const auto deadline = std::chrono::steady_clock::now() + kFinalOutputTimeout;
  for (;;) {
    pollfd fds[1 + kMaxTerminals];
    bool any_reader_full = false;
    bool any_output_pending = false;
    for (size_t i = 0; i < m_terminals; ++i) {
      const uint32_t reader = static_cast<uint32_t>(i);
      const bool pending = !IsParked(i) && !m_output.IsEmpty(reader);
      any_reader_full = any_reader_full || m_output.IsFull(reader);
      any_output_pending = any_output_pending || pending;
      fds[1 + i] = {pending ? TerminalSlot(i).fd : -1, POLLOUT, 0};
    }
    // The master takes part while it may hold more and every terminal has room for it.
    const int master = m_terminals > 0 && !any_reader_full ? m_master : -1;
    fds[0] = {master, POLLIN, 0};
    if (m_master < 0 && !any_output_pending) return;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    // With every terminal served, only bytes that are already there are still waited for.
    const int timeout = any_output_pending ? static_cast<int>(left.count()) : 0;
    if (poll(fds, 1 + m_terminals, timeout) <= 0) return;

    if (fds[0].revents & POLLIN) {
      const ByteSpan room = m_output.BeginPush();
      const ssize_t got = read(master, room.data, room.size);
      if (got > 0) m_output.EndPush(static_cast<int>(got));
      if (got == 0 || (got < 0 && errno != EAGAIN)) CloseMaster();
    } else if (fds[0].revents != 0) {
      CloseMaster();  // hung up with nothing left to read
    }
    // From the last terminal down, so that a removal does not move the ones still to serve.
    for (size_t i = m_terminals; i-- > 0;) {
      const short events = fds[1 + i].revents;
      bool in_error = false;
      if (events & POLLOUT) {
        WriteTerminal(i, &in_error);
      } else if (events != 0) {
        in_error = true;
      }
      if (!in_error) continue;
      // A terminal that fails now is simply left out of the rest.
      if (IsSerialConsole(i)) {
        Park(i);
      } else {
        RemoveTerminal(i);
      }
    }
  }
}

// After a whole time-out with nothing ready: every network terminal still holding the child
// back goes. The serial console is never disconnected.
void SharedSession::DisconnectBlockedTerminals() {
  for (size_t i = 0; i < m_terminals;) {
    if (m_output.IsFull(static_cast<uint32_t>(i)) && !IsSerialConsole(i)) {
      SafeFprintf(stderr, "ttyweave: Terminal %u is blocked. Disconnecting.\n",
                  static_cast<unsigned>(i));
      RemoveTerminal(i);
    } else {
      ++i;
    }
  }
}

// The pseudo-terminal or the serial console failed: the session ends in order (the destructor
// stops the child) with a status that says so, unless a signal already decided one.
void SharedSession::EndSessionWithoutChildStatus() {
  if (m_exit) return;
  m_exit = true;
  m_exit_status = kSessionLostExitStatus;
}
