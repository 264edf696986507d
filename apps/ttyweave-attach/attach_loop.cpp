// SPDX-License-Identifier: MIT
#include "attach_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "system_call_error.h"
#include "write_all.h"

namespace {

// Poll table slots.
constexpr size_t kSignalSlot = 0;
constexpr size_t kSessionSlot = 1;
constexpr size_t kInputSlot = 2;
constexpr size_t kSlotCount = 3;

// A hang-up or an error is learnt by reading: end of file, or the read's error.
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

}  // namespace

AttachLoop::AttachLoop(int session_fd, const AttachOptions& options,
                       const TerminationSignals& signals)
    : m_session_fd(session_fd),
      m_options(options),
      m_signals(signals),
      m_input_open(true),
      m_keys_size(0),
      m_keys_sent(0) {}

AttachOutcome AttachLoop::Run() {
  for (;;) {
    pollfd fds[kSlotCount];
    fds[kSignalSlot] = {m_signals.Fd(), POLLIN, 0};
    fds[kSessionSlot] = {m_session_fd, static_cast<short>(POLLIN | (KeysWaiting() ? POLLOUT : 0)),
                         0};
    fds[kInputSlot] = {m_input_open ? STDIN_FILENO : -1, POLLIN, 0};
    if (poll(fds, kSlotCount, PollTimeout()) < 0) {
      if (errno == EINTR) continue;  // a caught signal: its byte is in the pipe for the next pass
      throw SystemCallError("poll", errno);
    }

    std::optional<AttachOutcome> outcome;
    if (fds[kSignalSlot].revents != 0) return AttachOutcome::kSignalled;
    if (m_hold_deadline && std::chrono::steady_clock::now() >= *m_hold_deadline)
      outcome = ReleaseHeldOutput();
    if (!outcome && (fds[kSessionSlot].revents & kReadable)) outcome = HandleSessionOutput();
    if (!outcome && (fds[kSessionSlot].revents & POLLOUT)) SendKeys();
    if (!outcome && (fds[kInputSlot].revents != 0)) outcome = HandleKeys();
    // Input has ended: the client ends once the keys read before have been sent, and once it
    // is known whether it was refused (input from /dev/null ends before the refusal arrives).
    if (!outcome && !m_input_open && !m_options.read_only && !KeysWaiting()) {
      if (!m_refusal.IsHolding()) {
        outcome = AttachOutcome::kInputEnded;
      } else if (!m_hold_deadline) {
        m_hold_deadline = std::chrono::steady_clock::now() + kRefusalHoldTime;
      }
    }
    if (!outcome) continue;
    // Leaving by the user's choice: what was held back as a possible refusal is output too.
    if (*outcome == AttachOutcome::kDetached || *outcome == AttachOutcome::kInputEnded) {
      if (const auto signalled = ReleaseHeldOutput()) return *signalled;
    }
    return *outcome;
  }
}

// No time-out, except while the start of the output is held back as a possible refusal.
int AttachLoop::PollTimeout() const {
  if (!m_hold_deadline) return -1;
  const auto left = *m_hold_deadline - std::chrono::steady_clock::now();
  if (left <= left.zero()) return 0;
  // Rounded up, so that the pass after the time-out finds the deadline passed.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// The session's bytes, read as far as the buffer goes and written to standard output.
std::optional<AttachOutcome> AttachLoop::HandleSessionOutput() {
  const ssize_t count = read(m_session_fd, m_output, sizeof m_output);
  if (count < 0) {
    if (errno == EINTR || errno == EAGAIN) return std::nullopt;
    // The daemon closed the connection with keys of ours unread.
    if (errno == ECONNRESET) return SessionClosed();
    throw SystemCallError("read (session)", errno);
  }
  if (count == 0) return SessionClosed();
  return Deliver(std::string_view(m_output, static_cast<size_t>(count)));
}

// The user's keys: the ones before the detach key are sent (none in read-only mode).
std::optional<AttachOutcome> AttachLoop::HandleKeys() {
  const ssize_t count = read(STDIN_FILENO, m_typed, sizeof m_typed);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
  // EIO: the terminal hung up, which ends the input like end of file.
  if (count < 0 && errno != EIO) throw SystemCallError("read (standard input)", errno);
  if (count <= 0) {
    // A read-only client's input only watches for the detach key; without input it still
    // shows the session until the session ends or a signal comes.
    m_input_open = false;
    return std::nullopt;
  }

  const void* detach_key =
      m_options.detach_key ? std::memchr(m_typed, *m_options.detach_key, static_cast<size_t>(count))
                           : nullptr;
  const size_t keys = detach_key
                          ? static_cast<size_t>(static_cast<const char*>(detach_key) - m_typed)
                          : static_cast<size_t>(count);
  if (!m_options.read_only) QueueKeys(m_typed, keys);
  if (detach_key == nullptr) return std::nullopt;
  // The keys typed before the detach key go as far as the session takes them now.
  if (KeysWaiting()) SendKeys();
  return AttachOutcome::kDetached;
}

// Adds keys after those waiting, in order; what does not fit under kTypedAheadLimit is dropped.
void AttachLoop::QueueKeys(const char* keys, size_t count) {
  if (m_keys_sent > 0 && m_keys_size + count > sizeof m_keys) {
    std::memmove(m_keys, m_keys + m_keys_sent, m_keys_size - m_keys_sent);
    m_keys_size -= m_keys_sent;
    m_keys_sent = 0;
  }
  const size_t kept = std::min(count, sizeof m_keys - m_keys_size);
  std::memcpy(m_keys + m_keys_size, keys, kept);
  m_keys_size += kept;
}

void AttachLoop::SendKeys() {
  const ssize_t sent = write(m_session_fd, m_keys + m_keys_sent, m_keys_size - m_keys_sent);
  if (sent >= 0) {
    m_keys_sent += static_cast<size_t>(sent);
    if (m_keys_sent == m_keys_size) m_keys_sent = m_keys_size = 0;
  } else if (errno == EPIPE || errno == ECONNRESET) {
    // The daemon has closed the connection: drop the keys, and the end of file that comes
    // next ends the attachment.
    m_keys_sent = m_keys_size = 0;
  } else if (errno != EINTR && errno != EAGAIN) {
    throw SystemCallError("write (session)", errno);
  }
}

std::optional<AttachOutcome> AttachLoop::Deliver(std::string_view bytes) {
  if (m_refusal.IsHolding()) {
    if (m_refusal.Hold(bytes)) {
      if (!m_hold_deadline) m_hold_deadline = std::chrono::steady_clock::now() + kRefusalHoldTime;
      return std::nullopt;
    }
    m_hold_deadline.reset();
    if (!WriteOutput(m_refusal.Held())) return AttachOutcome::kSignalled;
  }
  if (!WriteOutput(bytes)) return AttachOutcome::kSignalled;
  return std::nullopt;
}

// The wait for the refusal's end of file is over: what was held is ordinary output.
std::optional<AttachOutcome> AttachLoop::ReleaseHeldOutput() {
  m_hold_deadline.reset();
  if (!m_refusal.IsHolding()) return std::nullopt;
  m_refusal.Release();
  if (!WriteOutput(m_refusal.Held())) return AttachOutcome::kSignalled;
  return std::nullopt;
}

std::optional<AttachOutcome> AttachLoop::SessionClosed() {
  if (m_refusal.IsRefusal()) return AttachOutcome::kRefused;
  if (const auto outcome = ReleaseHeldOutput()) return outcome;
  return AttachOutcome::kSessionEnded;
}

bool AttachLoop::WriteOutput(std::string_view bytes) {
  return WriteAll(STDOUT_FILENO, bytes, m_signals, "write (standard output)");
}
