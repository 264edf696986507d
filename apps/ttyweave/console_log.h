// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "circular_byte_buffer.h"
#include "errno_exception.h"
#include "failure_spell.h"
#include "file_descriptor.h"
#include "gathered_bytes.h"
#include "output_consumer.h"
#include "terminal_mark_limit.h"
#include "trusted_folder.h"

// The console log: every byte the terminals are sent, as they are sent it, plus marks for the
// session's events, in a file of at most `size_limit` bytes that is renamed to "<path>.1" when
// the next write would take it past that (at most twice the limit on disk). It never holds the
// session back: bytes are gathered in memory and written about once a second, without waiting, so
// a slow, stopped or failing file or device costs the terminals nothing. A log that fails is said
// once on stderr; what it could not take is counted and said when it works again.
//
// The log's folder must be one that only root can change, and the log a file this daemon made
// (it begins with a mark) or a character device; anything else is refused with one line on
// stderr, and the session goes on without a log.
//
// As the session's output consumer, it marks each terminal's arrival and departure (at most so
// many of one uid's: TerminalMarkLimit) and the session's end; its start is its first mark.
class ConsoleLog : public OutputConsumer {
 public:
  // How long gathered bytes may wait before they are written: kind to flash, and little to lose
  // should the device lose power. Marks are written, and synced, at once.
  static constexpr std::chrono::seconds kWriteInterval{1};

  // Opens (or creates) the file, which begins, or goes on, with the mark "session started:
  // <program>"; a failure to open is reported and retried at the next write. Gathers up to
  // about twice `size_limit` bytes in memory, allocated here once.
  ConsoleLog(std::string path, size_t size_limit, const std::string& program);
  // Writes what was gathered.
  ~ConsoleLog() override;
  ConsoleLog(const ConsoleLog&) = delete;
  ConsoleLog& operator=(const ConsoleLog&) = delete;

  void TakeOutput(const ByteSpans& runs, size_t count) override;
  void TakeEvent(const SessionEvent& event, Clock::time_point now) override;
  std::optional<Clock::time_point> Deadline() const override { return m_write_due; }
  void ServeDeadline(Clock::time_point now) override;
  void Flush() override { Write(); }

  // A mark "[ttyweave <UTC time>] <text>" on a line of its own, the text escaped (EscapedText).
  void Mark(const std::string& text);

  // Writes what was gathered now, and syncs a file when it took a mark.
  void Write();

 private:
  void Gather(const uint8_t* data, size_t count);
  void NoteGathered();
  bool Open(const std::string& first_mark);
  void Rotate();
  bool KeepFullFile();
  bool WriteGathered();
  void Fail(const ErrnoException& error);
  void Refuse(const std::string& what);
  void Close(bool let_drain);

  const std::string m_path;
  const std::string m_folder_path;
  const std::string m_name;  // in the folder
  std::optional<TrustedFolder> m_folder;
  const size_t m_size_limit;
  // The room for output in a file that a rotation started, after its first mark.
  const size_t m_room;
  // The session's start, until a file holds it.
  std::string m_start_mark;
  // Gathered bytes not yet written: a ring of two files' output. Older ones would be rotated away
  // by the newer anyway, so they are dropped here.
  GatheredBytes m_gathered;
  // When the gathered bytes are due to be written; nothing while none wait.
  std::optional<Clock::time_point> m_write_due;
  bool m_sync_due = false;
  FileDescriptor m_fd;
  size_t m_file_size = 0;
  size_t m_first_mark_size = 0;  // of a file made this session; 0 for one taken
  bool m_rotates = true;         // a regular file; a device is only written to
  bool m_at_line_start = true;
  FailureSpell m_failure{"Console log"};
  bool m_refused = false;
  bool m_older_refused = false;
  // How many of the terminals' arrivals and departures are marked.
  TerminalMarkLimit m_mark_limit;
  // A client can change its size far more often than it can come and go.
  TerminalMarkLimit m_window_size_mark_limit{"window sizes"};
};
