// SPDX-License-Identifier: MIT
#include "network_terminal.h"

#include <cstring>

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

std::string Viewer::Describe() const { return DescribeConnection("viewer", GetPeer()); }
