// SPDX-License-Identifier: MIT
// SharedSession: terminals arriving through the listeners (or the serial console), being served
// in the order they arrived, and leaving.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "safe_fprintf.h"
#include "serial_console.h"
#include "session.h"
#include "string_operations.h"
#include "terminal_socket.h"

void SharedSession::StartListener() { m_network_listener.Start(kListenerPath, kListenerOwner); }

void SharedSession::StartViewListener(size_t most_viewers) {
  // Viewers must not be able to type: their socket's owner could reach the main one too.
  const uid_t viewers_user = LookupUserId(kViewListenerOwner);
  if (viewers_user == 0)
    throw std::runtime_error(strprintf("User '%s' is root", kViewListenerOwner));
  std::optional<uid_t> operators_user;
  try {
    operators_user = LookupUserId(kListenerOwner);
  } catch (const std::exception&) {
    // Without the operators' user only root types, and the viewers' user is not root.
  }
  if (viewers_user == operators_user)
    throw std::runtime_error(
        strprintf("User '%s' is also '%s'", kViewListenerOwner, kListenerOwner));
  m_most_viewers = most_viewers;
  m_viewer_listener.Start(kViewListenerPath, kViewListenerOwner);
}

void SharedSession::AddSerialConsole() {
  if (m_terminal_count >= kMaxTerminals) throw std::runtime_error(kTooManyTerminals);
  AddTerminal(std::make_unique<SerialConsole>(m_output, m_input));
}

void SharedSession::AddTerminal(std::unique_ptr<Terminal> terminal) {
  m_terminals[m_terminal_count++] = std::move(terminal);
  Report(*m_terminals[m_terminal_count - 1], SessionEvent::Kind::kArrived, "arrived");
  WindowSizeArrived(*m_terminals[m_terminal_count - 1]);
}

// The terminals after it move up one place, with what poll returned for them in this pass.
void SharedSession::RemoveTerminal(size_t position) {
  std::unique_ptr<Terminal> terminal = std::move(m_terminals[position]);
  Report(*terminal, SessionEvent::Kind::kLeft, DepartureText(terminal->Why(), terminal->Error()));
  std::move(m_terminals + position + 1, m_terminals + m_terminal_count, m_terminals + position);
  --m_terminal_count;
  WindowSizeLeft(*terminal);
}

// One line on stderr (the journal), and the same event for the consumers.
void SharedSession::Report(const Terminal& terminal, SessionEvent::Kind kind,
                           const std::string& event) {
  SessionEvent report{kind, strprintf("Terminal %u (%s) %s", terminal.Number(),
                                      terminal.Describe().c_str(), event.c_str())};
  SafeFprintf(stderr, "ttyweave: %s\n", report.text.c_str());
  report.uid = terminal.GetPeer().uid;
  report.from_serial_console = terminal.IsSerialConsole();
  Publish(std::move(report));
}

// Why a terminal of `kind` finds no place, or null. Viewers hold at most m_most_viewers places,
// and never all that the serial console leaves: one stays for the main socket.
const char* SharedSession::WhyNoPlace(Listener::Kind kind) const {
  if (m_terminal_count >= kMaxTerminals) return "too many terminals";
  if (kind != Listener::Kind::kViewer) return nullptr;
  size_t viewers = 0;
  size_t consoles = 0;
  for (size_t i = 0; i < m_terminal_count; ++i) {
    viewers += m_terminals[i]->IsViewer() ? 1 : 0;
    consoles += m_terminals[i]->IsSerialConsole() ? 1 : 0;
  }
  const size_t most = std::min(m_most_viewers, kMaxTerminals - consoles - 1);
  return viewers >= most ? "too many viewers" : nullptr;
}

// A connection with no place is told kTooManyTerminals whatever the reason, and closed.
void SharedSession::AcceptConnection(Listener& listener, Clock::time_point now) {
  Peer peer{};
  FileDescriptor connection = listener.Accept(now, &peer);
  if (!connection.IsOpen()) return;
  if (const char* why = WhyNoPlace(listener.GetKind())) {
    SessionEvent refusal{
        SessionEvent::Kind::kRefused,
        "Terminal (" + DescribeConnection(listener.KindName(), peer) + ") refused: " + why};
    refusal.uid = peer.uid;
    SafeFprintf(stderr, "ttyweave: %s\n", refusal.text.c_str());
    Publish(std::move(refusal));
    if (write(connection.Get(), kTooManyTerminals, std::strlen(kTooManyTerminals)) < 0) {
      // The refused client may be gone already; it is closed either way.
    }
    return;
  }
  AddTerminal(listener.MakeTerminal(std::move(connection), m_next_terminal_number++, peer, m_output,
                                    m_input));
}

// Each terminal in the order they arrived; a removed terminal's place is taken by the next one,
// with the events poll returned for it, so the same place is served again. Then the keys read
// go to the program at once. False when the session ended.
bool SharedSession::ServeTerminals() {
  for (size_t i = 0; i < m_terminal_count;) {
    switch (m_terminals[i]->Serve(i)) {
      case Terminal::Outcome::kLeaves:
        RemoveTerminal(i);
        break;
      case Terminal::Outcome::kSessionLost:
        EndSessionWithoutChildStatus();
        return false;
      default:
        // Its keys reach the program after the size it brings.
        FollowWindowSize(*m_terminals[i]);
        ++i;
        break;
    }
  }
  return WriteChildInput();
}

// Fresh output goes to every terminal at once, as much as each takes now; the rest waits for
// the terminal's POLLOUT.
void SharedSession::WriteToTerminals() {
  for (size_t i = 0; i < m_terminal_count;) {
    if (m_terminals[i]->Deliver(i) == Terminal::Outcome::kLeaves) {
      RemoveTerminal(i);
    } else {
      ++i;
    }
  }
}

// Each terminal's deadlines (Terminal::Expire), the listeners' rest, the consumers'.
void SharedSession::ExpireDeadlines(Clock::time_point now) {
  for (size_t i = 0; i < m_terminal_count;) {
    if (m_terminals[i]->Expire(now, i, DeliveringFinalOutput()) == Terminal::Outcome::kLeaves) {
      RemoveTerminal(i);
    } else {
      ++i;
    }
  }
  for (Listener* listener : m_listeners) listener->Expire(now);
  for (const auto& consumer : m_consumers) consumer->ServeDeadline(now);
}
