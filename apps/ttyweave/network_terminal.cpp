// SPDX-License-Identifier: MIT
#include "network_terminal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "assertion_report.h"
#include "safe_fprintf.h"

std::optional<Terminal::Clock::time_point> NetworkTerminal::Deadline(bool final_output) const {
  std::optional<Clock::time_point> earliest;
  const auto consider = [&earliest](std::optional<Clock::time_point> since, Clock::duration after) {
    if (since && (!earliest || *since + after < *earliest)) earliest = *since + after;
  };
  consider(m_blocked_since, kBlockedTerminalTimeout);
  if (final_output) consider(m_idle_since, kStalledTerminalTimeout);
  return earliest;
}

// It goes once it has held the program back for kBlockedTerminalTimeout without taking anything,
// whatever else happened meanwhile, or once it has taken nothing of the program's last output for
// kStalledTerminalTimeout.
Terminal::Outcome NetworkTerminal::Expire(Clock::time_point now, size_t position,
                                          bool final_output) {
  // A socket says it is writable only once its peer has read most of what it holds, so a peer
  // that reads steadily but slowly can go without POLLOUT for longer than the blocked time: a
  // write tells whether it has taken anything after all (which starts its time again).
  if (Over(m_blocked_since, kBlockedTerminalTimeout, now) && HoldsOutputBack() &&
      Write(position) == Outcome::kLeaves)
    return Outcome::kLeaves;
  const bool blocked = Over(m_blocked_since, kBlockedTerminalTimeout, now) && HoldsOutputBack();
  const bool stalled =
      final_output && Over(m_idle_since, kStalledTerminalTimeout, now) && HasOutputWaiting();
  if (blocked || stalled) {
    SafeFprintf(stderr, "ttyweave: Terminal %u is blocked. Disconnecting.\n",
                static_cast<unsigned>(position));
    return Leave(blocked ? Departure::kBlocked : Departure::kStalled);
  }
  WakeWhenInputHasRoom();
  return Outcome::kServed;
}

Terminal::Outcome NetworkTerminal::ConnectionError(size_t position) {
  SafeFprintf(stderr, "ttyweave: Terminal %u disconnected due to error\n",
              static_cast<unsigned>(position));
  return Leave(Departure::kConnectionError);
}

Terminal::Outcome NetworkTerminal::HangUpWithoutInputRoom() {
  RestFor(Rest::kForInputRoom);
  return Outcome::kServed;
}

Terminal::Outcome NetworkTerminal::ReadFailed(int error, size_t position) {
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on read\n",
              static_cast<unsigned>(position), std::strerror(error));
  return Leave(Departure::kReadError, error);
}

Terminal::Outcome NetworkTerminal::WriteFailed(int error, size_t position) {
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on write\n",
              static_cast<unsigned>(position), std::strerror(error));
  return Leave(Departure::kWriteError, error);
}

// Until the first read has told, and for a client that sends records, the bytes come through a
// chunk of no more than the input ring's room, so that every key in it fits.
Terminal::Outcome NetworkTerminal::Read(short returned, size_t position) {
  if (m_framing == Framing::kRaw) return Terminal::Read(returned, position);
  const size_t room = m_input.BeginPush().size;
  if (room == 0) return NoInputRoom(returned);
  uint8_t chunk[kInputRingSize];
  const ssize_t got =
      m_framing == Framing::kUndecided ? ReceiveFirst(chunk, room) : read(Fd(), chunk, room);
  if (got <= 0) return ReadTookNothing(got, errno, position);
  if (m_framing == Framing::kRecords) return TakeRecords(chunk, static_cast<size_t>(got));
  m_input.PushAll(chunk, static_cast<size_t>(got));
  m_activity.typed = true;
  return Outcome::kServed;
}

// The first read tells whether the client asked for records. It gives no room for descriptors,
// so the kernel closes any that came and only says so (MSG_CTRUNC, which nothing else sets here:
// the socket has neither SO_PASSCRED nor SO_PASSSEC): the daemon never holds one, whatever a
// client sends and however full its descriptor table.
ssize_t NetworkTerminal::ReceiveFirst(uint8_t* chunk, size_t size) {
  iovec bytes{chunk, size};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  const ssize_t got = recvmsg(Fd(), &message, 0);
  if (got > 0) m_framing = (message.msg_flags & MSG_CTRUNC) ? Framing::kRecords : Framing::kRaw;
  return got;
}

Terminal::Outcome NetworkTerminal::TakeRecords(const uint8_t* chunk, size_t size) {
  m_records.Feed(chunk, size);
  for (auto piece = m_records.Next(); piece.kind != FramedInput::Kind::kNeedMore;
       piece = m_records.Next()) {
    switch (piece.kind) {
      case FramedInput::Kind::kKeys: {
        // No more keys than the chunk, which is no more than the room.
        const bool pushed = m_input.PushAll(piece.keys, piece.count);
        PLINTH_CHECK(pushed);
        m_activity.typed = true;
        break;
      }
      case FramedInput::Kind::kSize:
        m_activity.told_size = piece.size;
        break;
      case FramedInput::Kind::kError:
        return Leave(Departure::kProtocolError);
      case FramedInput::Kind::kNeedMore:
        break;
    }
  }
  return Outcome::kServed;
}

std::string Viewer::Describe() const { return DescribeConnection("viewer", GetPeer()); }
