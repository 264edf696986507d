// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "file_descriptor.h"
#include "poll_set.h"

// The kernel log relay's source: records logged after start-up and more urgent than the level
// become whole lines "{seconds.millis} message\r\n" for the output ring. A line that does not fit
// there waits, and no newer record is read until it has gone in.
class KmsgRelay : public PollSource {
 public:
  // Opens the kernel log after its newest record, so that only what is logged from now on is
  // relayed, and prints how it will log. Without a `level` (no usable setting) the log is not
  // opened and nothing is relayed. Never throws.
  void Open(std::optional<uint32_t> level);
  bool IsOpen() const { return m_fd.IsOpen(); }

  // In the poll while no line waits: a kernel log that lost records reports that whatever is
  // requested, so it leaves the poll altogether.
  bool InPoll() const { return m_fd.IsOpen() && m_line.empty(); }
  int Fd() const { return m_fd.Get(); }
  bool IsReady() const { return Returned() != 0; }

  // Reads one record into the waiting line, when none waits.
  void ReadRecord();
  // The line waiting to go into the output ring; empty when none.
  const std::string& Line() const { return m_line; }
  void LineTaken() { m_line.clear(); }

 private:
  FileDescriptor m_fd;
  uint32_t m_level = 0;
  std::string m_line;
};
