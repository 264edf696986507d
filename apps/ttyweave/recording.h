// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "asciicast.h"
#include "errno_exception.h"
#include "failure_spell.h"
#include "file_descriptor.h"
#include "gathered_bytes.h"
#include "output_consumer.h"
#include "terminal_mark_limit.h"
#include "trusted_folder.h"
#include "utf8_text.h"
#include "window_size_protocol.h"

// The session's timed recording in asciicast v2, which asciinema replays: what the terminals are
// sent ("o" events), each size change ("r") and the session's events ("m", the texts of the console
// log's marks), never what they type. A file holds at most `size_limit` bytes: when the next line
// would take it past that, it becomes "<path>.1" (replacing an older one) and a new file starts
// with a header of its own, so each file replays alone and at most twice the limit is on disk.
//
// It never holds the session back: the raw output is gathered in memory with the time it came,
// and turned into events (UTF-8, JSON) and written about once a second and at the end. A
// recording that fails is said once on stderr and what it lost counted; it starts a new file when
// it works again. Its folder must be one only root can change, and a file found at its path (or
// at "<path>.1") one it made: anything else is refused with one line, and the session goes on
// without a recording.
class Recording : public OutputConsumer {
 public:
  // How long gathered output may wait before it is written: seldom enough to cost a flood little,
  // often enough that a crash loses little.
  static constexpr std::chrono::seconds kWriteInterval{1};

  // Starts the first file, at `path`, whose header gives `command`, the daemon's TERM and `size`
  // (the one the session starts the pseudo-terminal at; its window size events change it); a file
  // already there, from an earlier session, becomes "<path>.1". A failure to start is said and
  // retried at the next write.
  Recording(std::string path, size_t size_limit, std::string command, WindowSize size);
  // Says what was lost; the session's Flush has written the rest.
  ~Recording() override;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  void TakeOutput(const ByteSpans& runs, size_t count) override;
  void TakeEvent(const SessionEvent& event, Clock::time_point now) override;
  std::optional<Clock::time_point> Deadline() const override { return m_write_due; }
  void ServeDeadline(Clock::time_point now) override;
  void Flush() override;

 private:
  // Something gathered and not yet written, in the order it happened: output (the gathered bytes
  // up to `output_end`), a size or a mark.
  struct Pending {
    Clock::time_point when;
    AsciicastEvent kind;
    uint64_t output_end;
    WindowSize size;
    std::string text;
  };

  void Gather(Pending pending);
  void Mark(Clock::time_point when, const std::string& text);
  void Write();
  void WriteOutput(const Pending& pending);
  void WriteLine(Clock::time_point when, AsciicastEvent kind, const std::string& text,
                 size_t output_bytes);
  bool Rotate(Clock::time_point when);
  bool StartFile(Clock::time_point when);
  void KeepOlderFile();
  bool WriteLines();
  void Fail(const ErrnoException& error);
  void Refuse(const std::string& what);
  void CloseFile();

  const std::string m_path;
  const std::string m_folder_path;
  const std::string m_name;  // in the folder
  std::optional<TrustedFolder> m_folder;
  const size_t m_size_limit;
  const std::string m_command;
  const std::string m_term;
  // The size as of what was written last, for the next file's header.
  WindowSize m_size;

  // Output gathered and not yet written: at most about one file's worth; older bytes would be
  // rotated away by the newer anyway.
  GatheredBytes m_gathered;
  // What was gathered, in order. The output of one moment is one entry: the program's reads that
  // come close together make one event.
  std::vector<Pending> m_pending;
  std::optional<Clock::time_point> m_write_due;
  // How many arrivals and departures of one uid are marked, as in the console log.
  TerminalMarkLimit m_mark_limit;

  // Turning gathered output into events: where the next byte to write is among all gathered, and
  // a character cut off at the end of one read, kept for the next.
  uint64_t m_written_end = 0;
  Utf8Text m_utf8;
  std::string m_text;
  // The file: its events' times, its lines not yet written and the output they hold.
  FileDescriptor m_fd;
  std::optional<AsciicastEvents> m_events;
  size_t m_file_size = 0;
  size_t m_header_size = 0;
  std::string m_lines;
  size_t m_lines_output = 0;
  std::string m_line;

  FailureSpell m_failure{"Recording"};
  bool m_start_failed = false;  // no new file is tried again before the next write
  bool m_refused = false;
  bool m_older_refused = false;
};
