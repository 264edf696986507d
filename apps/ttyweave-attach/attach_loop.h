// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "command_line.h"
#include "framing.h"
#include "refusal_filter.h"
#include "termination_signals.h"

// How an attachment ended.
enum class AttachOutcome {
  kDetached,      // the detach key was typed
  kSessionEnded,  // the daemon closed the connection
  kRefused,       // the daemon had no room: its refusal text, then end of file
  kInputEnded,    // end of file on standard input (never in read-only mode)
  kSignalled,     // a signal that ends the client: TerminationSignals::Received() says which
};

// Copies the user's keys (standard input) to the session and the session's bytes to standard
// output, unchanged, in one poll loop, until one of the outcomes above. Every byte read before
// the outcome has been written to standard output, except a refusal's. Keys are read whatever
// the session does with them, so the detach key always works; those it has not taken wait, up
// to kTypedAheadLimit, and later ones are dropped.
//
// A loop that tells the window size sends records instead (window_size_protocol.h): first the
// hello with the size of standard input's terminal, in a message that asks the daemon for records
// (SendMarked), then keys records, and a size record after each change of size (SIGWINCH, caught
// by `signals`), in the order they came.
class AttachLoop {
 public:
  // `session_fd`: the connected, non-blocking socket. Keeps references to all three.
  // `tells_window_size`: `signals` must catch window changes already.
  AttachLoop(int session_fd, const AttachOptions& options, const TerminationSignals& signals,
             bool tells_window_size);
  AttachLoop(const AttachLoop&) = delete;
  AttachLoop& operator=(const AttachLoop&) = delete;

  // Throws SystemCallError when a read or write fails other than by the session closing.
  AttachOutcome Run();

 private:
  // A flood arrives in large reads, so standard output gets few, large writes: twice what
  // socat reads at a time, and far less than the socket can queue.
  static constexpr size_t kOutputBufferSize = 64 * 1024;
  // More than anyone types or pastes between two passes of the loop.
  static constexpr size_t kKeyReadSize = 4096;
  // Keys the session has not taken yet: a long paste into a program that is busy for a while.
  static constexpr size_t kTypedAheadLimit = 64 * 1024;
  // The daemon writes its refusal and closes the connection at once, so its end of file
  // follows the text within a scheduler's time slice; history that merely starts like the
  // refusal is held no longer than a person would notice.
  static constexpr std::chrono::milliseconds kRefusalHoldTime{200};

  int PollTimeout() const;
  std::optional<AttachOutcome> HandleSessionOutput();
  std::optional<AttachOutcome> HandleKeys();
  void QueueKeys(const char* keys, size_t count);
  void QueueKeysRecords(const uint8_t* keys, size_t count);
  bool QueueWindowSize();
  size_t MakeRoom(size_t length);
  void SendKeys();
  bool KeysWaiting() const { return m_keys_sent < m_keys_size; }
  std::optional<AttachOutcome> Deliver(std::string_view bytes);
  std::optional<AttachOutcome> ReleaseHeldOutput();
  std::optional<AttachOutcome> SessionClosed();
  bool WriteOutput(std::string_view bytes);

  const int m_session_fd;
  const AttachOptions& m_options;
  const TerminationSignals& m_signals;
  RefusalFilter m_refusal;
  // When the held start of the output is written after all (set once something is held).
  std::optional<std::chrono::steady_clock::time_point> m_hold_deadline;
  // Standard input is still read (not at end of file, not hung up).
  bool m_input_open;
  const bool m_tells_window_size;
  // The first bytes sent go in a message that asks for records.
  bool m_marked;
  // A size not yet queued for want of room: keys typed after it wait behind it.
  std::optional<WindowSize> m_untold_size;
  // Keys (or records) read and not yet sent: m_keys[m_keys_sent .. m_keys_size).
  size_t m_keys_size;
  size_t m_keys_sent;
  uint8_t m_keys[kTypedAheadLimit];
  char m_typed[kKeyReadSize];
  char m_output[kOutputBufferSize];
};
