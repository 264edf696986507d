// SPDX-License-Identifier: MIT
// SharedSession: the loop, the program's side of the byte paths, signals and the kernel log.
#include "session.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "assertion_report.h"
#include "errno_exception.h"
#include "exit_status.h"
#include "safe_fprintf.h"

namespace {

constexpr int kNoTimeout = -1;
// Reads of the program's output in one pass while it has more and the terminals take it all:
// enough to carry a flood with few polls, few enough that signals, the kernel log and the
// terminals' keys are still served every few milliseconds.
constexpr int kChildReadsPerPass = 16;

}  // namespace

SharedSession::SharedSession() = default;

SharedSession::~SharedSession() = default;

void SharedSession::DisableConsoleLogging() {
  // Without the relay the kernel keeps printing on the console itself.
  if (m_kmsg.IsOpen()) m_quiet_console.emplace();
}

void SharedSession::AddConsumer(std::unique_ptr<OutputConsumer> consumer) {
  m_consumers.push_back(std::move(consumer));
}

std::string SharedSession::CommandLine(char** argv) {
  std::string program;
  for (char** arg = argv; *arg != nullptr; ++arg)
    program += std::string(arg == argv ? "" : " ") + *arg;
  return program;
}

void SharedSession::StartChild(char** argv) {
  Publish({SessionEvent::Kind::kStarted, CommandLine(argv)});
  m_child.Start(argv);
}

int SharedSession::GetExitStatus() const {
  PLINTH_CHECK(m_status.has_value());
  return *m_status;
}

void SharedSession::Publish(SessionEvent event) {
  const Clock::time_point now = Clock::now();
  for (const auto& consumer : m_consumers) consumer->TakeEvent(event, now);
}

void SharedSession::TakeOutput(const ByteSpans& runs, size_t count) {
  for (const auto& consumer : m_consumers) consumer->TakeOutput(runs, count);
}

void SharedSession::RunSession() {
  ServeUntilOver();
  // The mark of the session's end, and what was gathered written at once.
  SessionEvent ended{SessionEvent::Kind::kEnded, ""};
  ended.status = *m_status;
  Publish(ended);
  for (const auto& consumer : m_consumers) consumer->Flush();
}

void SharedSession::ServeUntilOver() {
  while (!SessionOver()) {
    GatherPollSet();
    const int ready = m_poll.Wait(PollTimeout(Clock::now()));
    if (ready < 0) throw ErrnoException(errno, "poll");
    const Clock::time_point now = Clock::now();
    m_child.AfterPoll();
    if (ready > 0) {
      if (m_signals.IsReady()) HandleSignal();
      if (m_kmsg.IsReady()) {
        m_kmsg.ReadRecord();
        if (!m_kmsg.Line().empty()) PushKmsgLine();
      }
      if (!ServeChild() || !ServeTerminals()) return;
      for (Listener* listener : m_listeners)
        if (listener->HasArrival()) AcceptConnection(*listener, now);
    }
    ExpireDeadlines(now);
  }
}

// The session ends at once on SIGTERM or when it is lost; after the program's end, once its last
// output has reached every terminal that keeps taking it (ExpireDeadlines lets go of the others),
// or when SIGTERM comes meanwhile.
bool SharedSession::SessionOver() const {
  switch (m_phase) {
    case Phase::kRunning:
      return false;
    case Phase::kFinalOutput:
      return !AnyOutputPending() && !m_child.MayHoldOutput();
    case Phase::kOver:
      return true;
  }
  return true;
}

bool SharedSession::AnyOutputPending() const {
  for (size_t i = 0; i < m_terminal_count; ++i)
    if (m_terminals[i]->IsWaitedFor() && m_terminals[i]->HasOutputWaiting()) return true;
  return false;
}

// Each source that waits for something joins the poll, with what it waits for from the rings'
// state, and learns what poll returned for it afterwards. The program is read only while every
// terminal has room for more: a slow terminal holds it back.
void SharedSession::GatherPollSet() {
  bool any_reader_full = false;
  for (size_t i = 0; i < m_terminal_count; ++i) {
    m_terminals[i]->PreparePass();
    any_reader_full = any_reader_full || m_terminals[i]->HoldsOutputBack();
  }
  if (!m_kmsg.Line().empty() && !any_reader_full) PushKmsgLine();
  m_poll.Clear();
  const short master_events = m_child.Request(!any_reader_full, !m_input.IsEmpty());
  m_poll.Join(m_child, m_child.InPoll(), m_child.MasterFd(), master_events);
  m_poll.Join(m_signals, m_signals.IsOpen(), m_signals.Fd(), POLLIN);
  m_poll.Join(m_kmsg, m_kmsg.InPoll(), m_kmsg.Fd(), POLLIN);
  for (Listener* listener : m_listeners)
    m_poll.Join(*listener, listener->InPoll(), listener->Fd(), POLLIN);
  for (size_t i = 0; i < m_terminal_count; ++i) {
    Terminal& terminal = *m_terminals[i];
    m_poll.Join(terminal, terminal.InPoll(), terminal.Fd(), terminal.PollEvents());
  }
}

// Until the earliest deadline: each terminal's (Terminal::Deadline), the listeners' rest, the end
// of the final output, a consumer's. None: no time-out, so an idle session sleeps without waking.
int SharedSession::PollTimeout(Clock::time_point now) const {
  Clock::time_point earliest = Clock::time_point::max();
  const auto consider = [&earliest](std::optional<Clock::time_point> deadline) {
    if (deadline && *deadline < earliest) earliest = *deadline;
  };
  for (size_t i = 0; i < m_terminal_count; ++i)
    consider(m_terminals[i]->Deadline(DeliveringFinalOutput()));
  for (const Listener* listener : m_listeners) consider(listener->Deadline());
  for (const auto& consumer : m_consumers) consider(consumer->Deadline());
  if (DeliveringFinalOutput() && !AnyOutputPending()) consider(now);
  if (earliest == Clock::time_point::max()) return kNoTimeout;
  // Rounded up, so that the deadline has passed when poll returns.
  return static_cast<int>(std::max<Clock::rep>(
      0, std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count()));
}

// Output of the program into the output ring and on to the terminals, then the terminals' keys
// to it. False when the pseudo-terminal failed and the session has ended.
bool SharedSession::ServeChild() {
  const short events = m_child.Returned();
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

// Reads what the program wrote and passes it straight on to the terminals; again while they take
// it all and it has more, so that a flood costs few polls.
bool SharedSession::ReadChildOutput() {
  for (int reads = 0; reads < kChildReadsPerPass && m_child.MasterReadable(); ++reads) {
    const ByteSpans room = m_output.BeginPush();
    if (room.size == 0) return true;  // a slow terminal holds the program back
    const ssize_t got = readv(m_child.MasterFd(), room.parts, room.count);
    if (got > 0) {
      m_output.EndPush(static_cast<int>(got));
      TakeOutput(room, static_cast<size_t>(got));
      WriteToTerminals();
      if (static_cast<size_t>(got) < room.size) return true;  // it has nothing more now
      continue;
    }
    if (got < 0 && errno == EAGAIN) return true;
    // End of file, or EIO once the slave side has closed: no more output will come. The
    // program's SIGCHLD ends the session.
    if (got == 0 || errno == EIO) {
      m_child.StopReadingMaster();
      return true;
    }
    SafeFprintf(stderr, "Read from child failed: %s\n", std::strerror(errno));
    EndSessionWithoutChildStatus();
    return false;
  }
  return true;
}

// Terminals' keys to the program, as many as it takes now; none once it has ended.
bool SharedSession::WriteChildInput() {
  if (!m_child.MasterReadable() || m_input.IsEmpty() || !m_child.IsRunning()) return true;
  const ByteSpans pending = m_input.BeginPop();
  const ssize_t sent = writev(m_child.MasterFd(), pending.parts, pending.count);
  if (sent >= 0) {
    m_input.EndPop(static_cast<int>(sent));
    return true;
  }
  if (errno == EAGAIN) return true;
  SafeFprintf(stderr, "Write to child failed: %s\n", std::strerror(errno));
  EndSessionWithoutChildStatus();
  return false;
}

// All of the waiting kernel log line goes into the output ring, or none of it.
void SharedSession::PushKmsgLine() {
  const std::string& line = m_kmsg.Line();
  if (!m_output.PushAll(line.data(), line.size())) return;
  const ByteSpans runs{
      {{const_cast<char*>(line.data()), line.size()}, {nullptr, 0}}, 1, line.size()};
  TakeOutput(runs, line.size());
  m_kmsg.LineTaken();
}

// The program's end and SIGTERM end the session with their exit status.
void SharedSession::HandleSignal() {
  const std::optional<unsigned> signal_number = m_signals.Take();
  if (!signal_number) return;
  switch (*signal_number) {
    case SIGTERM:
      // Once the program has ended its status stands; SIGTERM only cuts its last output short.
      if (m_child.IsRunning()) m_status = kTerminatedExitStatus;
      m_phase = Phase::kOver;
      break;
    case SIGHUP:
    case SIGINT:
      break;
    case SIGCHLD:
      ReapChildren();
      break;
    default:
      SafeFprintf(stderr, "ttyweave: Unexpected signal %u\n", *signal_number);
      break;
  }
}

// SIGCHLDs do not queue: one record may stand for several ended children, and its pid for any of
// them. So every record looks for the program's own end first, then reaps every other child that
// has ended (one a start script left running, or an orphan when the daemon is the first process
// of its namespace); only the program's end ends the session.
void SharedSession::ReapChildren() {
  const auto reap = [this](pid_t which) {
    pid_t pid = 0;
    int status = 0;
    if (!ReapOne(which, &pid, &status)) return false;
    if (pid == m_child.Pid()) {
      m_child.Reaped();
      // The program's status is the daemon's from now on, even if SIGTERM came first.
      m_phase = Phase::kFinalOutput;
      m_status = status;
    }
    return true;
  };
  bool reaped_any = false;
  if (m_child.IsRunning()) reaped_any = reap(*m_child.Pid());
  while (reap(-1)) reaped_any = true;
  if (!reaped_any)
    SafeFprintf(stderr, "ttyweave: received SIGCHLD but there was nothing to wait for\n");
}

// The pseudo-terminal or the serial console failed: the session ends in order (the child is
// stopped) with a status that says so, unless one was already decided.
void SharedSession::EndSessionWithoutChildStatus() {
  if (m_status) return;
  m_phase = Phase::kOver;
  m_status = kSessionLostExitStatus;
}
