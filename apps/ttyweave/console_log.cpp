// SPDX-License-Identifier: MIT
#include "console_log.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "safe_fprintf.h"

namespace {

// Readable by the group that reads the system's logs, where there is one; never by the users
// of the session's sockets, who could otherwise read what others typed and saw.
constexpr char kLogGroup[] = "adm";
constexpr mode_t kGroupReadableMode = 0640;
constexpr mode_t kOwnerOnlyMode = 0600;
constexpr uid_t kRoot = 0;
// Room for any group line of a device's /etc/group.
constexpr size_t kGroupBufferSize = 16384;

std::optional<gid_t> LookupGroupId(const char* name) {
  group entry;
  group* found = nullptr;
  std::vector<char> buffer(kGroupBufferSize);
  if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  return entry.gr_gid;
}

}  // namespace

ConsoleLog::ConsoleLog(std::string path, size_t size_limit)
    : m_path(std::move(path)),
      m_size_limit(size_limit),
      m_capacity(2 * size_limit),
      m_gathered(new uint8_t[m_capacity]) {
  Open();
}

ConsoleLog::~ConsoleLog() {
  Write();
  if (m_fd >= 0) {
    fdatasync(m_fd);  // once per session: the end of a session survives a power cut after it
    close(m_fd);
  }
  if (m_lost_bytes > 0) SafeFprintf(stderr, "ttyweave: Console log lost %zu bytes\n", m_lost_bytes);
  if (m_rotated_unwritten > 0)
    SafeFprintf(stderr, "ttyweave: Console log rotated %zu bytes out before writing them\n",
                m_rotated_unwritten);
}

void ConsoleLog::Take(const ByteSpans& runs, size_t count) {
  for (int i = 0; i < runs.count && count > 0; ++i) {
    const size_t part = std::min(count, runs.parts[i].iov_len);
    Gather(static_cast<const uint8_t*>(runs.parts[i].iov_base), part);
    count -= part;
  }
}

void ConsoleLog::Take(const void* data, size_t count) {
  Gather(static_cast<const uint8_t*>(data), count);
}

void ConsoleLog::Mark(const std::string& text) {
  const time_t now = std::time(nullptr);
  tm utc;
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  const std::string line =
      std::string(m_at_line_start ? "" : "\r\n") + "[ttyweave " + stamp + "] " + text + "\r\n";
  Gather(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

void ConsoleLog::WriteIfDue(Clock::time_point now) {
  if (m_write_due && now >= *m_write_due) Write();
}

void ConsoleLog::Write() {
  m_write_due.reset();
  while (m_length > 0 && WriteGathered()) {
  }
}

// Copies bytes into the gathering ring; when they would overflow it, the oldest go.
void ConsoleLog::Gather(const uint8_t* data, size_t count) {
  if (count == 0) return;
  if (!m_write_due) m_write_due = Clock::now() + kWriteInterval;
  m_at_line_start = data[count - 1] == '\n';
  if (count > m_capacity) {
    m_rotated_unwritten += count - m_capacity;
    data += count - m_capacity;
    count = m_capacity;
  }
  const size_t overflow = m_length + count > m_capacity ? m_length + count - m_capacity : 0;
  m_start = (m_start + overflow) % m_capacity;
  m_length -= overflow;
  m_rotated_unwritten += overflow;
  const size_t end = (m_start + m_length) % m_capacity;
  const size_t first = std::min(count, m_capacity - end);
  std::memcpy(m_gathered.get() + end, data, first);
  std::memcpy(m_gathered.get(), data + first, count - first);
  m_length += count;
}

// Opens the file for appending, creating it if need be, and makes sure only root and the log
// group can read it. False when it cannot be used.
bool ConsoleLog::Open() {
  m_fd = open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, kOwnerOnlyMode);
  if (m_fd < 0) {
    Fail("open", errno);
    return false;
  }
  struct stat file;
  if (fstat(m_fd, &file) < 0) {
    Fail("stat", errno);
    return false;
  }
  // A device or pipe named as the log is written to as it is: never renamed, chmodded or owned.
  m_rotates = S_ISREG(file.st_mode);
  m_file_size = m_rotates ? static_cast<size_t>(file.st_size) : 0;
  if (!m_rotates) return true;
  const std::optional<gid_t> group = LookupGroupId(kLogGroup);
  if (fchown(m_fd, kRoot, group.value_or(static_cast<gid_t>(-1))) < 0) {
    Fail("chown", errno);
    return false;
  }
  if (fchmod(m_fd, group ? kGroupReadableMode : kOwnerOnlyMode) < 0) {
    Fail("chmod", errno);
    return false;
  }
  return true;
}

// The full file becomes "<path>.1", replacing an older one, and a new file is started.
void ConsoleLog::Rotate() {
  if (rename(m_path.c_str(), (m_path + ".1").c_str()) < 0) {
    Fail("rename", errno);
    return;
  }
  close(m_fd);
  Open();
}

// One write of gathered bytes; first a rotation when they would take the file past its limit.
// The newest size_limit bytes go into one file together, after the older ones: the newest file
// ends with the newest output whole. False when the log failed (the bytes are counted as lost).
bool ConsoleLog::WriteGathered() {
  if (m_fd < 0 && !Open()) return false;
  const size_t chunk = m_length > m_size_limit ? m_length - m_size_limit : m_length;
  if (m_rotates && m_file_size > 0 && m_file_size + chunk > m_size_limit) {
    Rotate();
    return m_fd >= 0;
  }
  const ByteSpans runs = ring_detail::Runs(m_gathered.get(), m_capacity, m_start, chunk);
  const ssize_t written = writev(m_fd, runs.parts, runs.count);
  if (written <= 0) {
    Fail("write", written < 0 ? errno : ENOSPC);
    return false;
  }
  m_start = (m_start + static_cast<size_t>(written)) % m_capacity;
  m_length -= static_cast<size_t>(written);
  m_file_size += static_cast<size_t>(written);
  if (m_failing) {
    SafeFprintf(stderr, "ttyweave: Console log works again; it lost %zu bytes while it failed\n",
                m_lost_bytes);
    m_failing = false;
    m_lost_bytes = 0;
  }
  return true;
}

// Said once while the failure lasts; what was gathered is lost, and the file is opened again
// at the next write, in case the fault has passed (a remounted file system, freed space).
void ConsoleLog::Fail(const char* operation, int error) {
  if (!m_failing)
    SafeFprintf(stderr, "ttyweave: Console log %s failed: %s: %s\n", m_path.c_str(), operation,
                std::strerror(error));
  m_failing = true;
  m_lost_bytes += m_length;
  m_start = m_length = 0;
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}
