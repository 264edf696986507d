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
constexpr size_t kWindowSlot = 3;
constexpr size_t kSlotCount = 4;

// A hang-up or an error is learnt by reading: end of file, or the read's error.
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

}  // namespace

AttachLoop::AttachLoop(int session_fd, const AttachOptions& options,
                       const TerminationSignals& signals, bool tells_window_size)
    : m_session_fd(session_fd),
      m_options(options),
      m_signals(signals),
      m_input_open(true),
      m_tells_window_size(tells_window_size),
      m_marked(!tells_window_size),
      m_keys_size(0),
      m_keys_sent(0) {
  if (!tells_window_size) return;
  // The hello goes first, in the first message sent.
  const std::optional<WindowSize> size = TerminalWindowSize(STDIN_FILENO);
  m_keys_size = size ? EncodeSizeRecord(*size, m_keys) : EncodeNoSizeRecord(m_keys);
}

AttachOutcome AttachLoop::Run() {
  for (;;) {
    pollfd fds[kSlotCount];
    fds[kSignalSlot] = {m_signals.Fd(), POLLIN, 0};
    fds[kSessionSlot] = {m_session_fd, static_cast<short>(POLLIN | (KeysWaiting() ? POLLOUT : 0)),
                         0};
    fds[kInputSlot] = {m_input_open ? STDIN_FILENO : -1, POLLIN, 0};
    fds[kWindowSlot] = {m_signals.WindowChangeFd(), POLLIN, 0};  // -1 when not told
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
    if (fds[kWindowSlot].revents != 0 && m_signals.TakeWindowChange()) {
      if (const auto size = TerminalWindowSize(STDIN_FILENO)) m_untold_size = size;
    }
    if (m_untold_size) QueueWindowSize();
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
  const auto* bytes = reinterpret_cast<const uint8_t*>(keys);
  if (m_tells_window_size) return QueueKeysRecords(bytes, count);
  const size_t kept = std::min(count, MakeRoom(count));
  std::memcpy(m_keys + m_keys_size, bytes, kept);
  m_keys_size += kept;
}

// The same in keys records: whole records only, as many keys as fit.
void AttachLoop::QueueKeysRecords(const uint8_t* keys, size_t count) {
  // Keys typed after a change of size follow it.
  if (m_untold_size && !QueueWindowSize()) return;
  while (count > 0) {
    const size_t room = MakeRoom(kMaxKeysRecordLength);
    if (room <= kKeysRecordHeaderLength) return;
    const size_t fitting = std::min(count, room - kKeysRecordHeaderLength);
    const size_t length = EncodeKeysRecord(keys, fitting, m_keys + m_keys_size);
    const size_t taken = length - kKeysRecordHeaderLength;
    m_keys_size += length;
    keys += taken;
    count -= taken;
  }
}

// Queues the untold size, when there is room for it.
bool AttachLoop::QueueWindowSize() {
  if (MakeRoom(kSizeRecordLength) < kSizeRecordLength) return false;
  m_keys_size += EncodeSizeRecord(*m_untold_size, m_keys + m_keys_size);
  m_untold_size.reset();
  return true;
}

// The room after what waits to be sent, which moves to the front first when `length` would not
// fit.
size_t AttachLoop::MakeRoom(size_t length) {
  if (m_keys_sent > 0 && m_keys_size + length > sizeof m_keys) {
    std::memmove(m_keys, m_keys + m_keys_sent, m_keys_size - m_keys_sent);
    m_keys_size -= m_keys_sent;
    m_keys_sent = 0;
  }
  return sizeof m_keys - m_keys_size;
}

void AttachLoop::SendKeys() {
  const uint8_t* const first = m_keys + m_keys_sent;
  const size_t length = m_keys_size - m_keys_sent;
  const ssize_t sent =
      m_marked ? write(m_session_fd, first, length) : SendMarked(m_session_fd, first, length);
  if (sent >= 0) {
    m_marked = true;
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
