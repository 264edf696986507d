// SPDX-License-Identifier: MIT
// SharedSession: the terminals (poll slots 4 to 11; reader i of the output ring is terminal i),
// their bytes both ways, what happens to a terminal that fails or stops reading, and the socket
// through which network terminals arrive.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "assertion_report.h"
#include "errno_exception.h"
#include "running_instance.h"
#include "safe_fprintf.h"
#include "shared_session.h"
#include "string_operations.h"

namespace {

// Where the C library gives no size: most passwd lines fit, and a longer one doubles the buffer.
constexpr size_t kFallbackPasswdBufferSize = 1024;
// A passwd line longer than this is no user's.
constexpr size_t kMaxPasswdBufferSize = 1 << 20;
// Connections waiting for the loop's next pass; a login service connects one user at a time.
constexpr int kListenBacklog = 2;
constexpr mode_t kSocketMode = 0700;
// Applied around bind so that the socket file never exists with more access than its owner's.
constexpr mode_t kOwnerOnlyUmask = 077;

}  // namespace

uid_t LookupUserId(const char* name) {
  passwd entry;
  passwd* found = nullptr;
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested)
                                         : kFallbackPasswdBufferSize);
  int error;
  // ERANGE: some line of the file (not necessarily the user's) did not fit.
  while ((error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMaxPasswdBufferSize)
    buffer.resize(buffer.size() * 2);
  if (found != nullptr) return entry.pw_uid;
  if (error != 0) throw ErrnoException(error, "getpwnam");
  throw std::runtime_error(strprintf("User '%s'not found", name));
}

void SharedSession::StartListener() {
  StartListening(m_listeners[0], kListenerPath, kListenerOwner);
}

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
  StartListening(m_listeners[1], kViewListenerPath, kViewListenerOwner);
}

void SharedSession::StartListening(Listener& listener, const char* path, const char* owner_name) {
  const uid_t owner = LookupUserId(owner_name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  // A daemon that still answers there would lose its terminals: only a file left by a daemon
  // that is gone is removed.
  if (SocketAnswers(path))
    throw std::runtime_error(strprintf("Another ttyweave answers on %s", path));
  unlink(path);

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ErrnoException(errno, "socket");
  // The file's mode comes from the umask at bind: with the owner-only mask nobody else can
  // connect between bind and chown, whatever umask the daemon was started with.
  const mode_t started_umask = umask(kOwnerOnlyUmask);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_error = errno;
  umask(started_umask);
  const auto fail = [fd](int error, const char* operation) {
    close(fd);
    throw ErrnoException(error, operation);
  };
  if (bound < 0) fail(bind_error, "bind");
  if (listen(fd, kListenBacklog) < 0) fail(errno, "listen");
  if (chmod(path, kSocketMode) < 0) fail(errno, "chmod");
  // "fchown": the name the device's log tooling knows this step by, though it is a chown.
  if (chown(path, owner, static_cast<gid_t>(-1)) < 0) fail(errno, "fchown");
  listener.fd = fd;
  m_fds[listener.slot] = {fd, POLLIN, 0};
}

void SharedSession::AddSerialConsole() { AddTerminal(0, TerminalKind::kSerialConsole, Peer{}); }

void SharedSession::AddTerminal(int fd, TerminalKind kind, Peer peer) {
  if (m_terminals >= kMaxTerminals) throw std::runtime_error(kTooManyTerminals);
  TerminalSlot(m_terminals) = {fd, 0, 0};
  TerminalState& terminal = m_terminal[m_terminals];
  terminal = {};
  terminal.fd = fd;
  terminal.kind = kind;
  terminal.number =
      kind == TerminalKind::kSerialConsole ? kSerialConsoleNumber : m_next_terminal_number++;
  terminal.peer = peer;
  m_output.AddReader(static_cast<uint32_t>(m_terminals));
  ++m_terminals;
  ReportTerminal(terminal, "arrived");
}

void SharedSession::RemoveTerminal(size_t index, Departure why, int error) {
  PLINTH_CHECK(m_terminals > 0);
  PLINTH_CHECK(index < m_terminals);
  const char* reason = "";
  switch (why) {
    case Departure::kClosed:
      reason = "it closed";
      break;
    case Departure::kBlocked:
      reason = "blocked for 50 ms";
      break;
    case Departure::kStalled:
      reason = "took nothing of the last output for 2 s";
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
  }
  ReportTerminal(m_terminal[index],
                 std::string("left: ") + reason + (error != 0 ? std::strerror(error) : ""));
  close(TerminalFd(index));
  --m_terminals;
  m_output.RemoveReader(static_cast<uint32_t>(index));
  // Whole slots move, with the events poll returned for them in this pass.
  for (size_t i = index; i < m_terminals; ++i) {
    TerminalSlot(i) = TerminalSlot(i + 1);
    m_terminal[i] = m_terminal[i + 1];
  }
}

// Who a terminal is, in its arrival and departure lines and marks.
std::string SharedSession::Describe(TerminalKind kind, Peer peer) {
  if (kind == TerminalKind::kSerialConsole) return "serial console";
  return strprintf("%s, uid %u, pid %d", kind == TerminalKind::kViewer ? "viewer" : "network",
                   static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
}

// One line on stderr (the journal) and the same as a mark in the console log.
void SharedSession::ReportTerminal(const TerminalState& terminal, const std::string& event) {
  const std::string text = strprintf("Terminal %u (%s) %s", terminal.number,
                                     Describe(terminal.kind, terminal.peer).c_str(), event.c_str());
  SafeFprintf(stderr, "ttyweave: %s\n", text.c_str());
  MarkTerminalEvent(terminal.kind, terminal.peer.uid, text);
}

// Every event is on stderr, but the log takes only so many of each uid's (the serial console
// arrives once): the session's output must not be rotated away by visitors.
void SharedSession::MarkTerminalEvent(TerminalKind kind, uid_t uid, const std::string& text) {
  if (!m_log) return;
  MarkLeftOutEvents(false);
  if (kind == TerminalKind::kSerialConsole || m_mark_limit.Allow(uid, Clock::now()))
    m_log->Mark(text);
}

// How many events of each uid whose window is over (of every uid with `all`) were left out.
void SharedSession::MarkLeftOutEvents(bool all) {
  for (const std::string& summary : m_mark_limit.TakeSummaries(Clock::now(), all))
    m_log->Mark(summary);
}

// Why a terminal of `kind` finds no place, or null. Viewers hold at most m_most_viewers places,
// and never all that the serial console leaves: one stays for the main socket.
const char* SharedSession::WhyNoPlace(TerminalKind kind) const {
  if (m_terminals >= kMaxTerminals) return "too many terminals";
  if (kind != TerminalKind::kViewer) return nullptr;
  size_t viewers = 0;
  size_t consoles = 0;
  for (size_t i = 0; i < m_terminals; ++i) {
    viewers += IsViewer(i) ? 1 : 0;
    consoles += IsSerialConsole(i) ? 1 : 0;
  }
  const size_t most = std::min(m_most_viewers, kMaxTerminals - consoles - 1);
  return viewers >= most ? "too many viewers" : nullptr;
}

// The client is told kTooManyTerminals whatever the reason, and closed.
void SharedSession::Refuse(int fd, TerminalKind kind, Peer peer, const char* why) {
  const std::string text = "Terminal (" + Describe(kind, peer) + ") refused: " + why;
  SafeFprintf(stderr, "ttyweave: %s\n", text.c_str());
  MarkTerminalEvent(kind, peer.uid, text);
  if (write(fd, kTooManyTerminals, std::strlen(kTooManyTerminals)) < 0) {
    // The refused client may be gone already; it is closed either way.
  }
  close(fd);
}

void SharedSession::AcceptConnection(Listener& listener, Clock::time_point now) {
  const int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // Said once while the same failure lasts: it is retried every kAcceptRetryDelay.
    if (error != listener.last_error)
      SafeFprintf(stderr, "Accept failed: %s\n", std::strerror(error));
    listener.last_error = error;
    // A failure that lasts (out of descriptors) would find the connection still waiting at once:
    // the listener rests, and is tried again after a short delay whatever else happens.
    m_fds[listener.slot].fd = -1;
    listener.retry_at = now + kAcceptRetryDelay;
    return;
  }
  listener.last_error = 0;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length);  // zeros if it fails
  const Peer peer{credentials.uid, credentials.pid};
  if (const char* why = WhyNoPlace(listener.kind)) {
    Refuse(fd, listener.kind, peer, why);
    return;
  }
  // What a viewer sends is never read: with its reading side shut, its writes fail at once
  // (EPIPE) instead of costing the loop a read for each of them. Its hang-up is still seen.
  if (listener.kind == TerminalKind::kViewer) shutdown(fd, SHUT_RD);
  AddTerminal(fd, listener.kind, peer);
}

// Each terminal in index order; a removed terminal's place is taken by the next one, with the
// events poll returned for it, so the same index is served again. Then the keys read go to the
// child at once. False when the session ended.
bool SharedSession::ServeTerminals() {
  for (size_t i = 0; i < m_terminals;) {
    switch (ServeTerminal(i)) {
      case Outcome::kServed:
        ++i;
        break;
      case Outcome::kRemoved:
        break;
      case Outcome::kSessionLost:
        return false;
    }
  }
  return WriteChildInput();
}

SharedSession::Outcome SharedSession::ServeTerminal(size_t index) {
  const short events = TerminalSlot(index).revents;
  if (events == 0) return Outcome::kServed;
  bool failed = false;
  if (events & (POLLERR | POLLNVAL)) {
    if (!IsSerialConsole(index)) {
      SafeFprintf(stderr, "ttyweave: Terminal %u disconnected due to error\n",
                  static_cast<unsigned>(index));
      RemoveTerminal(index, Departure::kConnectionError);
      return Outcome::kRemoved;
    }
    SafeFprintf(stderr, "ttyweave: Serial terminal error\n");
    failed = true;
  }
  if (events & (POLLIN | POLLHUP)) {
    const Outcome outcome = ReadTerminal(index, events, &failed);
    if (outcome != Outcome::kServed) return outcome;
  }
  if ((events & POLLOUT) && !IsResting(index)) {
    const Outcome outcome = WriteTerminal(index, &failed);
    if (outcome != Outcome::kServed) return outcome;
  }
  if (failed) RestAfterError(index);
  return Outcome::kServed;
}

SharedSession::Outcome SharedSession::ReadTerminal(size_t index, short events, bool* failed) {
  // A viewer is never asked for input (its reading side is shut): only its hang-up comes here.
  if (IsViewer(index)) {
    RemoveTerminal(index, Departure::kClosed);
    return Outcome::kRemoved;
  }
  const ByteSpans room = m_input.BeginPush();
  if (room.size == 0) {
    // Terminals before this one filled the input ring: this one's keys wait in its own buffer.
    // A hang-up keeps being reported while they wait: a network terminal rests until the ring
    // has room to take them (and then to see the end of file); the serial console, whose rest
    // depends only on its back-off, rests as after an error.
    if (events & (POLLHUP | POLLERR | POLLNVAL)) {
      if (IsSerialConsole(index)) {
        *failed = true;
      } else {
        RestTerminal(index, Rest::kForInputRoom);
      }
    }
    return Outcome::kServed;
  }
  const ssize_t got = readv(TerminalFd(index), room.parts, room.count);
  if (got > 0) {
    m_input.EndPush(static_cast<int>(got));
    return Outcome::kServed;
  }
  const int error = errno;
  const unsigned number = static_cast<unsigned>(index);
  if (got == 0) {
    if (!IsSerialConsole(index)) {
      RemoveTerminal(index, Departure::kClosed);
      return Outcome::kRemoved;
    }
    SafeFprintf(stderr, "ttyweave: EOF on serial terminal\n");
    EndSessionWithoutChildStatus();
    return Outcome::kSessionLost;
  }
  if (error == EAGAIN) {
    SafeFprintf(stderr, "ttyweave: Terminal %u EAGAIN\n", number);
    return Outcome::kServed;
  }
  if (IsSerialConsole(index)) {
    SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on read\n", std::strerror(error));
    *failed = true;
    return Outcome::kServed;
  }
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on read\n", number,
              std::strerror(error));
  RemoveTerminal(index, Departure::kReadError, error);
  return Outcome::kRemoved;
}

SharedSession::Outcome SharedSession::WriteTerminal(size_t index, bool* failed) {
  const uint32_t reader = static_cast<uint32_t>(index);
  const ByteSpans pending = m_output.BeginPop(reader);
  if (pending.size == 0) return Outcome::kServed;
  const int fd = TerminalFd(index);
  const ssize_t sent = writev(fd, pending.parts, pending.count);
  if (sent > 0) {
    m_output.EndPop(reader, static_cast<int>(sent));
    // It takes bytes: it is slow at worst, not stuck.
    m_terminal[index].blocked_since.reset();
    m_terminal[index].idle_since.reset();
    if (IsSerialConsole(index)) {
      m_serial_failed = false;
      if (m_serial_lost_bytes > 0) {
        SafeFprintf(stderr, "ttyweave: Serial console lost %lu bytes of output while it failed\n",
                    static_cast<unsigned long>(m_serial_lost_bytes));
        m_serial_lost_bytes = 0;
      }
    }
    return Outcome::kServed;
  }
  const int error = errno;
  // Nothing taken: a socket or line that is full now (the kernel's own console messages can take
  // the room poll saw). Next time.
  if (sent == 0 || error == EAGAIN) return Outcome::kServed;
  if (IsSerialConsole(index)) {
    SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on write\n", std::strerror(error));
    *failed = true;
    return Outcome::kServed;
  }
  SafeFprintf(stderr, "ttyweave: Abandoning terminal %u due to '%s' on write\n",
              static_cast<unsigned>(index), std::strerror(error));
  RemoveTerminal(index, Departure::kWriteError, error);
  return Outcome::kRemoved;
}

// Fresh output goes to every terminal at once, as much as each takes now; the rest waits for
// the terminal's POLLOUT.
void SharedSession::WriteToTerminals() {
  for (size_t i = 0; i < m_terminals;) {
    bool failed = false;
    if (!IsResting(i) && WriteTerminal(i, &failed) == Outcome::kRemoved) continue;
    if (failed) RestAfterError(i);
    ++i;
  }
}

// The serial console is never disconnected. After an error it rests out of the poll for a
// while, so that a fault that lasts is neither reported on every pass nor holds the others back.
void SharedSession::RestAfterError(size_t index) {
  m_serial_failed = true;
  m_serial_resume_time = Clock::now() + kSerialRetryInterval;
  RestTerminal(index, Rest::kAfterError);
}

// A resting terminal's slot holds no descriptor, so poll ignores it.
void SharedSession::RestTerminal(size_t index, Rest why) {
  TerminalSlot(index).fd = -1;
  m_terminal[index].rest = why;
}

void SharedSession::WakeTerminal(size_t index) {
  TerminalSlot(index).fd = TerminalFd(index);
  m_terminal[index].rest = Rest::kNone;
}

// A failed serial console is never disconnected: rather than hold the child back for every
// terminal, it loses the output it could not take (counted, and reported once it takes output
// again).
void SharedSession::DropFailedConsoleBacklog() {
  for (size_t i = 0; i < m_terminals; ++i)
    if (IsSerialConsole(i) && m_serial_failed && m_output.IsFull(static_cast<uint32_t>(i)))
      DropConsoleBacklog(i);
}

void SharedSession::DropConsoleBacklog(size_t index) {
  const uint32_t reader = static_cast<uint32_t>(index);
  const ByteSpans backlog = m_output.BeginPop(reader);
  m_output.EndPop(reader, static_cast<int>(backlog.size));
  m_serial_lost_bytes += backlog.size;
}

// Whether the child's last output waits for the terminal: not while it rests (out of the poll),
// nor the failed serial console.
bool SharedSession::IsWaitedFor(size_t index) const {
  return !IsResting(index) && !(IsSerialConsole(index) && m_serial_failed);
}

// A network terminal that has held the child back for kBlockedTerminalTimeout without taking
// anything goes, whatever else happened meanwhile, and so does one that takes nothing of the
// child's last output for kStalledTerminalTimeout; a serial console that takes nothing for as
// long is treated as failed; resting terminals come back when their reason is over; a resting
// listener is tried again.
void SharedSession::ExpireDeadlines(Clock::time_point now) {
  const auto over = [now](std::optional<Clock::time_point> since, Clock::duration limit) {
    return since && now - *since >= limit;
  };
  for (size_t i = 0; i < m_terminals;) {
    TerminalState& terminal = m_terminal[i];
    const uint32_t reader = static_cast<uint32_t>(i);
    // A socket says it is writable only once its peer has read most of what it holds, so a peer
    // that reads steadily but slowly can go without POLLOUT for longer than the blocked time: a
    // write tells whether it has taken anything after all (which starts its time again).
    bool failed = false;
    if (!IsSerialConsole(i) && over(terminal.blocked_since, kBlockedTerminalTimeout) &&
        m_output.IsFull(reader) && WriteTerminal(i, &failed) == Outcome::kRemoved) {
      continue;
    }
    const bool blocked =
        over(terminal.blocked_since, kBlockedTerminalTimeout) && m_output.IsFull(reader);
    const bool stalled = DeliveringFinalOutput() &&
                         over(terminal.idle_since, kStalledTerminalTimeout) &&
                         !m_output.IsEmpty(reader);
    if (!IsSerialConsole(i) && (blocked || stalled)) {
      SafeFprintf(stderr, "ttyweave: Terminal %u is blocked. Disconnecting.\n",
                  static_cast<unsigned>(i));
      RemoveTerminal(i, blocked ? Departure::kBlocked : Departure::kStalled);
      continue;
    }
    if (IsSerialConsole(i) && !m_serial_failed &&
        over(terminal.idle_since, kStalledTerminalTimeout) && !m_output.IsEmpty(reader)) {
      SafeFprintf(stderr, "ttyweave: Serial terminal stalled\n");
      m_serial_failed = true;
      terminal.idle_since.reset();
      DropConsoleBacklog(i);
    }
    if ((terminal.rest == Rest::kAfterError && now >= *m_serial_resume_time) ||
        (terminal.rest == Rest::kForInputRoom && !m_input.IsFull()))
      WakeTerminal(i);
    ++i;
  }
  for (Listener& listener : m_listeners) {
    if (listener.retry_at && now >= *listener.retry_at) {
      m_fds[listener.slot].fd = listener.fd;
      listener.retry_at.reset();
    }
  }
  if (m_log) m_log->WriteIfDue(now);
}
