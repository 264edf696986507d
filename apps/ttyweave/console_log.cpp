// SPDX-License-Identifier: MIT
#include "console_log.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include "escaped_text.h"
#include "output_file_access.h"
#include "safe_fprintf.h"
#include "string_operations.h"

namespace {

// How every mark, and so every file of the log, begins.
constexpr char kMarkSignature[] = "[ttyweave ";
// Enough of a command line to know it; a mark always fits the smallest file with room to spare.
constexpr size_t kLongestMarkText = 1024;
// How long a terminal line named as the log may take to send what it holds when the log is closed
// at the end (4 KiB at 115200 baud), and how often it is looked at meanwhile.
constexpr std::chrono::milliseconds kDrainTime{500};
constexpr long kDrainPollNanoseconds = 10 * 1000 * 1000;

// "[ttyweave <UTC time>] <text>" and a line end, the text escaped: whatever a program's name or
// a peer's doing puts in it, a mark is one line, and shows no control character raw.
std::string MarkLine(const std::string& text) {
  const time_t now = std::time(nullptr);
  tm utc;
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  std::string escaped = EscapedText(text);
  if (escaped.size() > kLongestMarkText)
    escaped.replace(kLongestMarkText, std::string::npos, "...");
  return kMarkSignature + std::string(stamp) + "] " + escaped + "\r\n";
}

// The first mark of a file started by a rotation, which `kept` the full one as "<name>.1".
std::string ContinuedText(const std::string& name, bool kept) {
  return kept ? "continues " + name + ".1" : "continues a file that was not kept as " + name + ".1";
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Lets a terminal line send what it holds, for at most kDrainTime.
void WaitForDrain(int fd) {
  const auto end = std::chrono::steady_clock::now() + kDrainTime;
  int queued = 0;
  while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
         std::chrono::steady_clock::now() < end) {
    const timespec pause = {0, kDrainPollNanoseconds};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

ConsoleLog::ConsoleLog(std::string path, size_t size_limit, const std::string& program)
    : m_path(std::move(path)),
      m_folder_path(FolderOf(m_path)),
      m_name(m_path.substr(m_path.rfind('/') + 1)),
      m_size_limit(size_limit),
      // The longer of the two first marks after a rotation.
      m_room(size_limit - MarkLine(ContinuedText(m_name, false)).size()),
      m_start_mark(MarkLine("session started: " + program)),
      m_gathered(2 * m_room) {
  Open(m_start_mark);
}

ConsoleLog::~ConsoleLog() {
  Write();
  if (m_fd.IsOpen()) {
    if (m_rotates) fdatasync(m_fd.Get());  // the end of a session survives a power cut after it
    Close(true);
  }
  if (m_failure.LostBytes() > 0)
    SafeFprintf(stderr, "ttyweave: Console log lost %llu bytes\n",
                static_cast<unsigned long long>(m_failure.LostBytes()));
  if (m_gathered.Overwritten() > 0)
    SafeFprintf(stderr, "ttyweave: Console log rotated %llu bytes out before writing them\n",
                static_cast<unsigned long long>(m_gathered.Overwritten()));
}

void ConsoleLog::TakeOutput(const ByteSpans& runs, size_t count) {
  if (count == 0 || m_refused) return;
  m_gathered.Add(runs, count);
  NoteGathered();
}

// Every event is on stderr, but the log takes only so many of each uid's (the serial console
// arrives once): the session's output must not be rotated away by visitors. At the end, how many
// were left out, whatever their window.
void ConsoleLog::TakeEvent(const SessionEvent& event, Clock::time_point now) {
  if (event.kind == SessionEvent::Kind::kStarted) return;  // the first mark, made on opening
  const bool ended = event.kind == SessionEvent::Kind::kEnded;
  for (TerminalMarkLimit* limit : {&m_mark_limit, &m_window_size_mark_limit})
    for (const std::string& summary : limit->TakeSummaries(now, ended)) Mark(summary);
  TerminalMarkLimit& limit =
      event.kind == SessionEvent::Kind::kWindowSize ? m_window_size_mark_limit : m_mark_limit;
  if (ended) {
    Mark(strprintf("session ended: status %d", event.status));
  } else if (event.from_serial_console || limit.Allow(event.uid, now)) {
    Mark(event.text);
  }
}

// Marks are rare, and what an audit looks for: written and synced at once.
void ConsoleLog::Mark(const std::string& text) {
  if (m_refused) return;
  const std::string line = (m_at_line_start ? "" : "\r\n") + MarkLine(text);
  Gather(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  m_sync_due = true;
  m_write_due = Clock::now();
}

void ConsoleLog::ServeDeadline(Clock::time_point now) {
  if (m_write_due && now >= *m_write_due) Write();
}

void ConsoleLog::Write() {
  m_write_due.reset();
  while (m_gathered.Size() > 0 && WriteGathered()) {
  }
  // Never on a device: a stopped line would hold the sync.
  if (m_sync_due && m_fd.IsOpen() && m_rotates && fdatasync(m_fd.Get()) < 0)
    Fail(ErrnoException(errno, "sync"));
  m_sync_due = false;
}

// Keeps bytes in memory until they are written; when they would overflow it, the oldest go.
void ConsoleLog::Gather(const uint8_t* data, size_t count) {
  if (count == 0 || m_refused) return;
  m_gathered.Add(data, count);
  NoteGathered();
}

// The write is due a second after the first byte that waits; a mark needs a line of its own
// after a byte that ends none.
void ConsoleLog::NoteGathered() {
  if (!m_write_due) m_write_due = Clock::now() + kWriteInterval;
  m_at_line_start = m_gathered.Newest() == '\n';
}

// Opens the file in its folder, or makes it, with `first_mark` (said in it either way). False
// when it cannot be used.
bool ConsoleLog::Open(const std::string& first_mark) {
  try {
    if (m_name.empty()) throw FileRefused("not a file name");
    if (!m_folder) m_folder.emplace(m_folder_path);
    const OutputFileAccess access = ReadOutputFileAccess();
    TrustedFolder::OpenedFile file =
        m_folder->OpenToAppend(m_name, kMarkSignature, first_mark, access.mode, access.group);
    m_fd = std::move(file.fd);
    m_rotates = file.regular;
    m_file_size = file.size;
    m_first_mark_size = file.created ? file.size : 0;
    if (!file.created) {
      const ssize_t written = write(m_fd.Get(), first_mark.data(), first_mark.size());
      if (written < 0) throw ErrnoException(errno, "write");
      m_file_size += static_cast<size_t>(written);
      if (static_cast<size_t>(written) < first_mark.size())
        throw ErrnoException(m_rotates ? ENOSPC : EAGAIN, "write");
      if (m_rotates && fdatasync(m_fd.Get()) < 0) throw ErrnoException(errno, "sync");
    }
  } catch (const FileRefused& refusal) {
    Refuse(refusal.what());
    return false;
  } catch (const ErrnoException& error) {
    Fail(error);
    return false;
  }
  m_start_mark.clear();  // a file holds it now
  return true;
}

// The full file becomes "<path>.1", replacing an older one, and a new file is started.
void ConsoleLog::Rotate() {
  if (fdatasync(m_fd.Get()) < 0) return Fail(ErrnoException(errno, "sync"));
  Close(false);
  bool kept = false;
  try {
    kept = KeepFullFile();
  } catch (const ErrnoException& error) {
    return Fail(error);
  }
  Open(MarkLine(ContinuedText(m_name, kept)));
}

// Moves the full file to "<name>.1" (the folder synced); true when it was kept. Something not of
// the log's at "<name>.1" is left alone, said once, and the full file removed instead: later
// output is kept rather than the older. Throws ErrnoException.
bool ConsoleLog::KeepFullFile() {
  const std::optional<std::string> refusal =
      m_folder->KeepAsOlder(m_name, m_name + ".1", kMarkSignature);
  if (refusal && !m_older_refused)
    SafeFprintf(stderr, "ttyweave: Console log %s.1 refused: %s: older output is not kept\n",
                m_path.c_str(), refusal->c_str());
  m_older_refused = m_older_refused || refusal;
  return !refusal;
}

// One write of gathered bytes; first a rotation when they would take the file past its limit.
// The newest bytes that fill a new file go into one file together, after the older ones: the
// newest file ends with the newest output whole. False when the log failed (the bytes are
// counted as lost) or takes nothing now (the bytes are lost, the log stays open).
bool ConsoleLog::WriteGathered() {
  if (!m_fd.IsOpen() &&
      !Open(m_start_mark.empty() ? MarkLine("log resumed after a failure") : m_start_mark))
    return false;
  const size_t length = m_gathered.Size();
  size_t chunk = length > m_room ? length - m_room : length;
  if (m_rotates && m_file_size + chunk > m_size_limit) {
    if (m_file_size > m_first_mark_size) {
      Rotate();
      return m_fd.IsOpen();
    }
    chunk = m_size_limit - m_file_size;  // a new file with a long first mark
  }
  const ByteSpans runs = m_gathered.Oldest(chunk);
  const ssize_t written = writev(m_fd.Get(), runs.parts, runs.count);
  if (written <= 0) {
    Fail(ErrnoException(written < 0 ? errno : ENOSPC, "write"));
    return false;
  }
  m_gathered.Drop(static_cast<size_t>(written));
  m_file_size += static_cast<size_t>(written);
  m_failure.Recovered();
  return true;
}

// Said once while the failure lasts; what was gathered is lost. A device that takes nothing now
// (a line stopped by ^S) stays open for the next write; anything else is opened again then, in
// case the fault has passed (a remounted file system, freed space, a folder made).
void ConsoleLog::Fail(const ErrnoException& error) {
  m_failure.Failed(m_path, error, m_gathered.Size());
  m_gathered.Drop(m_gathered.Size());
  if (m_fd.IsOpen() && error.Errno() != EAGAIN) Close(false);
}

// Said once; the session goes on without a log.
void ConsoleLog::Refuse(const std::string& what) {
  SafeFprintf(stderr, "ttyweave: Console log %s refused: %s: no log\n", m_path.c_str(),
              what.c_str());
  m_refused = true;
  m_gathered.Drop(m_gathered.Size());
  m_write_due.reset();
  if (m_fd.IsOpen()) Close(false);
  m_folder.reset();
}

// A terminal line stopped by ^S would hold the last close for as long as its port's closing wait
// (30 s by default): what it has not sent by then (or at once, after a failure) is dropped first.
void ConsoleLog::Close(bool let_drain) {
  if (isatty(m_fd.Get())) {
    if (let_drain) WaitForDrain(m_fd.Get());
    tcflush(m_fd.Get(), TCOFLUSH);
  }
  m_fd.Reset();
}
