// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "framed_input.h"
#include "terminal.h"

// A connection to the terminals' socket. It leaves on an error, at its end, when it holds the
// program back without taking anything for kBlockedTerminalTimeout, or when it takes nothing of
// the program's last output for kStalledTerminalTimeout.
//
// What it sends is raw keys, unless the first message it sends passes descriptors: then it is
// records (window_size_protocol.h) from that message's first byte on, keys and its window
// sizes; what is no record makes it leave.
class NetworkTerminal : public Terminal {
 public:
  using Terminal::Terminal;

  Outcome Expire(Clock::time_point now, size_t position, bool final_output) override;
  std::optional<Clock::time_point> Deadline(bool final_output) const override;

 protected:
  Outcome ConnectionError(size_t position) override;
  // It rests until the ring has room to take its keys (and then to see its end of file).
  Outcome HangUpWithoutInputRoom() override;
  Outcome EndOfFile() override { return Leave(Departure::kClosed); }
  Outcome ReadFailed(int error, size_t position) override;
  Outcome WriteFailed(int error, size_t position) override;
  Outcome Read(short returned, size_t position) override;

 private:
  enum class Framing { kUndecided, kRaw, kRecords };

  ssize_t ReceiveFirst(uint8_t* chunk, size_t size);
  Outcome TakeRecords(const uint8_t* chunk, size_t size);

  Framing m_framing = Framing::kUndecided;
  FramedInput m_records;
};

// A connection to the viewers' socket, never typed from: what it sends is never read, so a
// flood of keys costs the loop nothing. It waits in the connection's own buffer, where the kernel
// bounds it (a viewer that sends more only stops itself), and goes with the connection. Only its
// hang-up is heard. Otherwise a network terminal.
class Viewer : public NetworkTerminal {
 public:
  using NetworkTerminal::NetworkTerminal;

  std::string Describe() const override;
  bool IsViewer() const override { return true; }
  short PollEvents() const override { return static_cast<short>(HasOutputWaiting() ? POLLOUT : 0); }

 protected:
  Outcome Read(short, size_t) override { return Leave(Departure::kClosed); }
};
