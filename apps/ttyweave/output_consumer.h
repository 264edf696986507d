// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "circular_byte_buffer.h"
#include "window_size_protocol.h"

// Something that happened to the session, as its consumers are told of it.
struct SessionEvent {
  enum class Kind {
    kStarted,     // the program runs; `text` is its command line
    kArrived,     // a terminal arrived; `text` is its line, as on standard error
    kLeft,        // a terminal left; likewise
    kRefused,     // a connection was refused; likewise
    kWindowSize,  // the program's terminal is now `window_size`, a terminal's; likewise
    kEnded,       // the session ended with `status`
  };
  Kind kind;
  std::string text;
  // Whose terminal, and whether its events may be limited per uid (the serial console's never).
  uid_t uid = 0;
  bool from_serial_console = false;
  int status = 0;
  WindowSize window_size{};
};

// One rule divides what takes the session's output. Terminals are readers of the output ring:
// a terminal that takes nothing holds the program back, until it is let go. An output consumer
// never holds the program back: it is given every byte as the byte enters the output ring (the
// program's output and the relayed kernel log lines), and the session's events, and must keep
// what it cannot write now or lose it. The console log is one; a timed recording is another.
class OutputConsumer {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~OutputConsumer() = default;

  // The first `count` bytes of `runs`, as they enter the output ring.
  virtual void TakeOutput(const ByteSpans& runs, size_t count) = 0;
  virtual void TakeEvent(const SessionEvent& event, Clock::time_point now) = 0;
  // When it next wants to be woken (ServeDeadline); nothing while it waits for nothing.
  virtual std::optional<Clock::time_point> Deadline() const = 0;
  virtual void ServeDeadline(Clock::time_point now) = 0;
  // Writes whatever it holds: the session has ended.
  virtual void Flush() = 0;
};
