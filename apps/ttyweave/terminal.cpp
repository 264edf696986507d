// SPDX-License-Identifier: MIT
// Terminal: what every kind of terminal does alike, its bytes both ways and its timers.
#include "terminal.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "safe_fprintf.h"
#include "string_operations.h"

std::string DepartureText(Departure why, int error) {
  std::string reason;
  switch (why) {
    case Departure::kClosed:
      reason = "it closed";
      break;
    case Departure::kBlocked:
      reason = strprintf("blocked for %d ms", static_cast<int>(kBlockedTerminalTimeout.count()));
      break;
    case Departure::kStalled:
      reason = strprintf("took nothing of the last output for %d s",
                         static_cast<int>(kStalledTerminalTimeout.count()));
      break;
    case Departure::kConnectionError:
      reason = "an error on its connection";
      break;
    case Departure::kReadError:
      reason = "read error: ";
      break;
    case Departure::kWriteError:
      reason = "write error: ";
      break;
    case Departure::kProtocolError:
      reason = "a protocol error";
      break;
  }
  return "left: " + reason + (error != 0 ? std::strerror(error) : "");
}

Terminal::Terminal(FileDescriptor fd, unsigned number, Peer peer, OutputRing& output,
                   InputRing& input)
    : m_fd(std::move(fd)),
      m_output(output),
      m_input(input),
      m_reader(output.AddReader()),
      m_number(number),
      m_peer(peer) {}

Terminal::~Terminal() { m_output.RemoveReader(m_reader); }

std::string DescribeConnection(const char* kind, Peer peer) {
  return strprintf("%s, uid %u, pid %d", kind, static_cast<unsigned>(peer.uid),
                   static_cast<int>(peer.pid));
}

std::string Terminal::Describe() const { return DescribeConnection("network", m_peer); }

// Held back, or waiting, from the moment a pass finds it so (a write it takes starts both
// again). The clock is read now: the pass itself may have taken a while since the poll.
void Terminal::PreparePass() {
  const auto track = [](std::optional<Clock::time_point>& since, bool holds) {
    if (!holds) {
      since.reset();
    } else if (!since) {
      since = Clock::now();
    }
  };
  track(m_blocked_since, HoldsOutputBack());
  track(m_idle_since, HasOutputWaiting());
}

short Terminal::PollEvents() const {
  return static_cast<short>((m_input.IsFull() ? 0 : POLLIN) | (HasOutputWaiting() ? POLLOUT : 0));
}

Terminal::Outcome Terminal::Leave(Departure why, int error) {
  m_departure = why;
  m_error = error;
  return Outcome::kLeaves;
}

void Terminal::WakeWhenInputHasRoom() {
  if (m_rest == Rest::kForInputRoom && !m_input.IsFull()) m_rest = Rest::kNone;
}

Terminal::Outcome Terminal::Serve(size_t position) {
  const short events = Returned();
  if (events == 0) return Outcome::kServed;
  bool failed = false;
  // Each step may fail (the serial console goes on to the next), or end its service.
  const auto step = [&failed](Outcome outcome) {
    failed = failed || outcome == Outcome::kFailed;
    return outcome == Outcome::kLeaves || outcome == Outcome::kSessionLost;
  };
  Outcome outcome = Outcome::kServed;
  if ((events & (POLLERR | POLLNVAL)) && step(outcome = ConnectionError(position))) return outcome;
  if ((events & (POLLIN | POLLHUP)) && step(outcome = Read(events, position))) return outcome;
  if ((events & POLLOUT) && !IsResting() && step(outcome = Write(position))) return outcome;
  if (failed) RestAfterError();
  return Outcome::kServed;
}

Terminal::Outcome Terminal::Read(short returned, size_t position) {
  const ByteSpans room = m_input.BeginPush();
  if (room.size == 0) return NoInputRoom(returned);
  const ssize_t got = readv(Fd(), room.parts, room.count);
  if (got <= 0) return ReadTookNothing(got, errno, position);
  m_input.EndPush(static_cast<int>(got));
  m_activity.typed = true;
  return Outcome::kServed;
}

// Terminals before this one filled the input ring: this one's keys wait in its own buffer. A
// hang-up keeps being reported while they wait.
Terminal::Outcome Terminal::NoInputRoom(short returned) {
  if (returned & (POLLHUP | POLLERR | POLLNVAL)) return HangUpWithoutInputRoom();
  return Outcome::kServed;
}

Terminal::Outcome Terminal::ReadTookNothing(ssize_t got, int error, size_t position) {
  if (got == 0) return EndOfFile();
  if (error == EAGAIN) {
    SafeFprintf(stderr, "ttyweave: Terminal %u EAGAIN\n", static_cast<unsigned>(position));
    return Outcome::kServed;
  }
  return ReadFailed(error, position);
}

Terminal::Outcome Terminal::Write(size_t position) {
  const ByteSpans pending = m_output.BeginPop(m_reader);
  if (pending.size == 0) return Outcome::kServed;
  const ssize_t sent = writev(Fd(), pending.parts, pending.count);
  if (sent > 0) {
    m_output.EndPop(m_reader, static_cast<int>(sent));
    // It takes bytes: it is slow at worst, not stuck.
    m_blocked_since.reset();
    m_idle_since.reset();
    TookOutput();
    return Outcome::kServed;
  }
  const int error = errno;
  // Nothing taken: a socket or line that is full now (the kernel's own console messages can take
  // the room poll saw). Next time.
  if (sent == 0 || error == EAGAIN) return Outcome::kServed;
  return WriteFailed(error, position);
}

Terminal::Outcome Terminal::Deliver(size_t position) {
  if (IsResting()) return Outcome::kServed;
  const Outcome outcome = Write(position);
  if (outcome != Outcome::kFailed) return outcome;
  RestAfterError();
  return Outcome::kServed;
}
