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

// The console log: every byte the terminals are sent, as they are sent it, plus marks for the
// session's events, in a file of at most `size_limit` bytes that is renamed to "<path>.1" when
// the next write would take it past that (at most twice the limit on disk). It never holds the
// session back: bytes are gathered in memory and written about once a second, so a slow or
// failing file costs the terminals nothing. A log that fails is said once on stderr; what it
// could not take is counted and said when it works again.
class ConsoleLog {
 public:
  using Clock = std::chrono::steady_clock;

  // How long gathered bytes may wait before they are written: kind to flash, and little to lose
  // should the device lose power.
  static constexpr std::chrono::seconds kWriteInterval{1};

  // Opens (or creates) the file; a failure to open is reported and retried at the next write.
  // Gathers up to twice `size_limit` bytes in memory, allocated here once.
  ConsoleLog(std::string path, size_t size_limit);
  // Writes what was gathered.
  ~ConsoleLog();
  ConsoleLog(const ConsoleLog&) = delete;
  ConsoleLog& operator=(const ConsoleLog&) = delete;

  // Takes the first `count` bytes of `runs`, as they enter the output ring.
  void Take(const ByteSpans& runs, size_t count);
  void Take(const void* data, size_t count);
  // A mark "[ttyweave <UTC time>] <text>" on a line of its own.
  void Mark(const std::string& text);

  // When the gathered bytes are due to be written; nothing while none wait.
  std::optional<Clock::time_point> WriteDeadline() const { return m_write_due; }
  // Writes what was gathered if it is due at `now`.
  void WriteIfDue(Clock::time_point now);
  // Writes what was gathered now.
  void Write();

 private:
  void Gather(const uint8_t* data, size_t count);
  bool Open();
  void Rotate();
  bool WriteGathered();
  void Fail(const char* operation, int error);

  const std::string m_path;
  const size_t m_size_limit;
  // Gathered bytes not yet written: a ring of twice the limit. Older ones would be rotated away
  // by the newer anyway, so they are dropped here (counted in m_rotated_unwritten).
  const size_t m_capacity;
  std::unique_ptr<uint8_t[]> m_gathered;
  size_t m_start = 0;
  size_t m_length = 0;
  std::optional<Clock::time_point> m_write_due;
  int m_fd = -1;
  size_t m_file_size = 0;
  bool m_rotates = true;  // a regular file; a device (or a pipe) is only written to
  bool m_at_line_start = true;
  bool m_failing = false;
  size_t m_lost_bytes = 0;
  size_t m_rotated_unwritten = 0;
};
