// SPDX-License-Identifier: MIT
#include "recording.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "escaped_text.h"
#include "output_file_access.h"
#include "safe_fprintf.h"
#include "string_operations.h"

namespace {

// How every header, and so every file of the recording, begins.
constexpr char kSignature[] = "{\"version\": 2, ";
// The program's reads within this time of the first make one event: a replay shows no difference,
// and a flood of small reads makes no flood of events.
constexpr std::chrono::milliseconds kOutputGrain{10};
// The most output bytes in one event: its line (at most six JSON bytes a byte) and a header always
// fit the smallest file.
constexpr size_t kLongestOutputEvent = 4096;
// Enough of a command line or a mark to know it, as in the console log.
constexpr size_t kLongestText = 1024;
// The most output gathered in memory, whatever the size of a file: more than a serial line sends
// in minutes; a flood beyond it in one second loses its older part.
constexpr size_t kMostGatheredOutput = 16 * 1024 * 1024;
// Events gathered before they are written early: a resize or arrival storm stays small.
constexpr size_t kMostPending = 4096;
// The most bytes of lines written at once.
constexpr size_t kWriteBatch = 1024 * 1024;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Shortened(std::string text) {
  if (text.size() > kLongestText) text.replace(kLongestText, std::string::npos, "...");
  return text;
}

// Valid UTF-8: a byte that is not becomes U+FFFD.
std::string Repaired(const std::string& bytes) {
  Utf8Text utf8;
  std::string text;
  utf8.Append(bytes.data(), bytes.size(), text);
  utf8.Flush(text);
  return text;
}

// The Unix time of a moment of the steady clock.
int64_t UnixTimeOf(std::chrono::steady_clock::time_point when) {
  const auto since = std::chrono::steady_clock::now() - when;
  return std::chrono::duration_cast<std::chrono::seconds>(
             (std::chrono::system_clock::now() - since).time_since_epoch())
      .count();
}

std::string SizeText(WindowSize size) {
  return std::to_string(size.columns) + "x" + std::to_string(size.rows);
}

}  // namespace

Recording::Recording(std::string path, size_t size_limit, std::string command, WindowSize size)
    : m_path(std::move(path)),
      m_folder_path(FolderOf(m_path)),
      m_name(m_path.substr(m_path.rfind('/') + 1)),
      m_size_limit(size_limit),
      m_command(Shortened(std::move(command))),
      m_term(Shortened(std::getenv("TERM") ? std::getenv("TERM") : "")),
      m_size(size),
      m_gathered(std::min(size_limit, kMostGatheredOutput)) {
  m_pending.reserve(kMostPending);
  StartFile(Clock::now());
}

Recording::~Recording() {
  if (!m_pending.empty()) Write();
  CloseFile();
  if (m_failure.LostBytes() > 0)
    SafeFprintf(stderr, "ttyweave: Recording lost %llu bytes of output\n",
                static_cast<unsigned long long>(m_failure.LostBytes()));
  if (m_gathered.Overwritten() > 0)
    SafeFprintf(stderr, "ttyweave: Recording dropped %llu bytes of a flood before writing them\n",
                static_cast<unsigned long long>(m_gathered.Overwritten()));
}

// Only the raw bytes and the time now: the work of making events waits for the write.
void Recording::TakeOutput(const ByteSpans& runs, size_t count) {
  if (count == 0 || m_refused) return;
  m_gathered.Add(runs, count);
  const Clock::time_point now = Clock::now();
  if (!m_pending.empty() && m_pending.back().kind == AsciicastEvent::kOutput &&
      now - m_pending.back().when < kOutputGrain) {
    m_pending.back().output_end = m_gathered.End();
  } else {
    Gather({now, AsciicastEvent::kOutput, m_gathered.End(), {}, {}});
  }
}

// The console log's marks, limited the same way.
void Recording::TakeEvent(const SessionEvent& event, Clock::time_point now) {
  if (m_refused) return;
  const bool ended = event.kind == SessionEvent::Kind::kEnded;
  for (const std::string& summary : m_mark_limit.TakeSummaries(now, ended)) Mark(now, summary);
  switch (event.kind) {
    case SessionEvent::Kind::kStarted:
      Mark(now, "session started: " + event.text);
      break;
    case SessionEvent::Kind::kArrived:
    case SessionEvent::Kind::kLeft:
    case SessionEvent::Kind::kRefused:
      if (event.from_serial_console || m_mark_limit.Allow(event.uid, now)) Mark(now, event.text);
      break;
    case SessionEvent::Kind::kWindowSize:
      Gather({now, AsciicastEvent::kResize, 0, event.window_size, {}});
      break;
    case SessionEvent::Kind::kEnded:
      Mark(now, strprintf("session ended: status %d", event.status));
      break;
  }
}

void Recording::ServeDeadline(Clock::time_point now) {
  if (m_write_due && now >= *m_write_due) Write();
}

void Recording::Flush() {
  Write();
  if (m_fd.IsOpen() && fdatasync(m_fd.Get()) < 0) Fail(ErrnoException(errno, "sync"));
}

void Recording::Gather(Pending pending) {
  if (!m_write_due) m_write_due = pending.when + kWriteInterval;
  if (m_pending.size() + 1 >= kMostPending) m_write_due = pending.when;
  m_pending.push_back(std::move(pending));
}

// With the text of the console log's mark: escaped, so that no name or command line can forge one.
void Recording::Mark(Clock::time_point when, const std::string& text) {
  Gather({when, AsciicastEvent::kMarker, 0, {}, Repaired(Shortened(EscapedText(text)))});
}

void Recording::Write() {
  m_write_due.reset();
  m_start_failed = false;  // a new file is tried once each time
  for (size_t i = 0; i < m_pending.size() && !m_refused; ++i) {
    const Pending& pending = m_pending[i];
    switch (pending.kind) {
      case AsciicastEvent::kOutput:
        WriteOutput(pending);
        break;
      case AsciicastEvent::kResize:
        m_size = pending.size;
        WriteLine(pending.when, pending.kind, SizeText(pending.size), 0);
        break;
      case AsciicastEvent::kMarker:
        WriteLine(pending.when, pending.kind, pending.text, 0);
        break;
    }
  }
  m_pending.clear();
  if (m_refused) {
    m_gathered.Drop(m_gathered.Size());
  } else if (m_fd.IsOpen()) {
    WriteLines();
  }
}

// The output up to `pending.output_end`, as events of at most kLongestOutputEvent bytes, with no
// character split between two of them.
void Recording::WriteOutput(const Pending& pending) {
  if (m_written_end < m_gathered.Begin()) {
    // Overwritten by newer output before it was written: what was cut off goes too.
    m_written_end = m_gathered.Begin();
    m_utf8 = Utf8Text();
  }
  while (m_written_end < pending.output_end && !m_refused) {
    const size_t piece = static_cast<size_t>(
        std::min<uint64_t>(pending.output_end - m_written_end, kLongestOutputEvent));
    const ByteSpans runs = m_gathered.Oldest(piece);
    m_text.clear();
    for (int i = 0; i < runs.count; ++i)
      m_utf8.Append(runs.parts[i].iov_base, runs.parts[i].iov_len, m_text);
    m_gathered.Drop(piece);
    m_written_end += piece;
    if (!m_text.empty()) WriteLine(pending.when, AsciicastEvent::kOutput, m_text, piece);
  }
}

// Adds one event's line to the file's lines; first a new file when it would take this one past
// the limit. `output_bytes`: how much of the program's output it holds, lost if it is not written.
void Recording::WriteLine(Clock::time_point when, AsciicastEvent kind, const std::string& text,
                          size_t output_bytes) {
  if (!m_fd.IsOpen() && (m_start_failed || !StartFile(when))) {
    m_failure.Lost(output_bytes);
    return;
  }
  m_line.clear();
  m_events->Append(when, kind, text, m_line);
  const size_t size = m_file_size + m_lines.size();
  if (size + m_line.size() > m_size_limit && size > m_header_size) {
    if (!Rotate(when)) {
      m_failure.Lost(output_bytes);
      return;
    }
    m_line.clear();
    m_events->Append(when, kind, text, m_line);
  }
  m_lines += m_line;
  m_lines_output += output_bytes;
  if (m_lines.size() >= kWriteBatch) WriteLines();
}

// Ends the full file and starts the next at `when`. False when the recording failed.
bool Recording::Rotate(Clock::time_point when) {
  if (!WriteLines()) return false;
  // On the disk before it has its new name.
  if (fdatasync(m_fd.Get()) < 0) {
    Fail(ErrnoException(errno, "sync"));
    return false;
  }
  CloseFile();
  return StartFile(when);
}

// Makes a new file at the path, beginning at `when` with its header; a file of the recording
// already there becomes "<name>.1". False when it cannot be used now.
bool Recording::StartFile(Clock::time_point when) {
  try {
    if (m_name.empty()) throw FileRefused("not a file name");
    if (!m_folder) m_folder.emplace(m_folder_path);
    const OutputFileAccess access = ReadOutputFileAccess();
    const std::string header =
        AsciicastHeader({m_size.columns, m_size.rows, UnixTimeOf(when), m_command, m_term});
    TrustedFolder::OpenedFile file =
        m_folder->OpenToAppend(m_name, kSignature, header, access.mode, access.group);
    if (!file.created) {
      // Checked to be ours (and narrowed to our mode) by the open; it is kept, never appended to:
      // each file is one recording from its header on.
      file.fd.Reset();
      if (!file.regular) throw FileRefused("a character device");
      KeepOlderFile();
      file = m_folder->OpenToAppend(m_name, kSignature, header, access.mode, access.group);
      if (!file.created) throw ErrnoException(EEXIST, "open");
    }
    m_fd = std::move(file.fd);
    m_file_size = m_header_size = file.size;
    m_events.emplace(when);
  } catch (const FileRefused& refusal) {
    Refuse(refusal.what());
    return false;
  } catch (const ErrnoException& error) {
    Fail(error);
    return false;
  }
  return true;
}

// Moves the file at the path to "<name>.1", replacing an older one (the folder synced). Something
// not of the recording's at "<name>.1" is left alone, said once, and the file removed instead.
// Throws ErrnoException.
void Recording::KeepOlderFile() {
  const std::optional<std::string> refusal =
      m_folder->KeepAsOlder(m_name, m_name + ".1", kSignature);
  if (refusal && !m_older_refused)
    SafeFprintf(stderr, "ttyweave: Recording %s.1 refused: %s: older output is not kept\n",
                m_path.c_str(), refusal->c_str());
  m_older_refused = m_older_refused || refusal;
}

// Writes the file's gathered lines. False when the recording failed.
bool Recording::WriteLines() {
  if (m_lines.empty()) return true;
  const ssize_t written = write(m_fd.Get(), m_lines.data(), m_lines.size());
  if (written < 0 || static_cast<size_t>(written) < m_lines.size()) {
    // A line cut short would spoil the rest of the file for a player: end it at its last whole one.
    if (written > 0 && ftruncate(m_fd.Get(), static_cast<off_t>(m_file_size)) < 0)
      Fail(ErrnoException(errno, "truncate"));
    else
      Fail(ErrnoException(written < 0 ? errno : ENOSPC, "write"));
    return false;
  }
  m_file_size += m_lines.size();
  m_lines.clear();
  m_lines_output = 0;
  m_failure.Recovered();
  return true;
}

// Said once while the failure lasts; the lines not written are lost, and no new file is tried
// before the next write, in case the fault has passed by then (a remounted file system, freed
// space, a folder made).
void Recording::Fail(const ErrnoException& error) {
  m_failure.Failed(m_path, error, m_lines_output);
  m_lines.clear();
  m_lines_output = 0;
  m_start_failed = true;
  CloseFile();
}

// Said once; the session goes on without a recording.
void Recording::Refuse(const std::string& what) {
  SafeFprintf(stderr, "ttyweave: Recording %s refused: %s: no recording\n", m_path.c_str(),
              what.c_str());
  m_refused = true;
  m_write_due.reset();
  CloseFile();
  m_folder.reset();
}

void Recording::CloseFile() {
  m_fd.Reset();
  m_events.reset();
}
