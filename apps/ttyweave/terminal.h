// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "circular_byte_buffer.h"
#include "file_descriptor.h"
#include "poll_set.h"
#include "window_size_protocol.h"

// The serial console and seven network terminals.
constexpr size_t kMaxTerminals = 8;
// The program's output and kernel log lines on their way to the terminals: a new terminal's
// history is the last kOutputRingSize - 1 bytes.
constexpr size_t kOutputRingSize = 4096;
// All terminals' keys on their way to the program: what it has not taken yet.
constexpr size_t kInputRingSize = 128;
using OutputRing = MultiReaderCircularByteBuffer<kOutputRingSize, kMaxTerminals>;
using InputRing = CircularByteBuffer<kInputRingSize>;

// How long a network terminal may hold the program back before it is disconnected: a live client
// drains a whole ring in far less, and the others stall no longer.
constexpr std::chrono::milliseconds kBlockedTerminalTimeout{50};
// How long a terminal may take nothing of the output that waits for it before it is let go: the
// serial console is then treated as failed, and a network terminal, once the program has ended,
// disconnected. A line at 115200 baud or a slow client takes bytes far more often, while a
// stopped one (CTS low, ^S, a stalled adapter) would otherwise freeze every terminal or keep
// the daemon from ending.
constexpr std::chrono::seconds kStalledTerminalTimeout{2};

// Why a terminal left.
enum class Departure {
  kClosed,
  kBlocked,
  kStalled,
  kConnectionError,
  kReadError,
  kWriteError,
  kProtocolError,  // a client that tells its window size sent what is no record
};

// Who connected, as the socket tells (SO_PEERCRED).
struct Peer {
  uid_t uid;
  pid_t pid;
};

// One terminal of the session: its descriptor, its reader of the output ring (a handle that
// stays its own while others come and go), the timers of output it does not take, and its rest
// out of the poll. A terminal takes the program's output from the ring and puts its keys into the
// input ring; what it does on an error, an end of file or a stall is its kind's (the serial
// console, a network terminal, a viewer). `position` is its place among the terminals now, which
// some of the lines on standard error give.
class Terminal : public PollSource {
 public:
  using Clock = std::chrono::steady_clock;

  // What serving a terminal came to.
  enum class Outcome {
    kServed,
    kFailed,       // the serial console failed: it rests a while, and loses what it cannot take
    kLeaves,       // it is to be removed (Departure() says why)
    kSessionLost,  // the serial console is gone: the session ends
  };

  Terminal(FileDescriptor fd, unsigned number, Peer peer, OutputRing& output, InputRing& input);
  // Gives its reader back to the output ring.
  virtual ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  unsigned Number() const { return m_number; }
  const Peer& GetPeer() const { return m_peer; }
  // Who it is, in its arrival and departure lines.
  virtual std::string Describe() const;
  virtual bool IsSerialConsole() const { return false; }
  virtual bool IsViewer() const { return false; }
  // Why it leaves, and the error that made it leave (0: none), once an Outcome said kLeaves.
  Departure Why() const { return m_departure; }
  int Error() const { return m_error; }

  // Before a pass: starts or stops its timers from the ring's state.
  virtual void PreparePass();
  // Whether its reader is full, which holds the program back.
  bool HoldsOutputBack() const { return m_output.IsFull(m_reader); }
  bool HasOutputWaiting() const { return !m_output.IsEmpty(m_reader); }
  // Whether the program's last output waits for it.
  virtual bool IsWaitedFor() const { return !IsResting(); }
  // Whether it is in this pass's poll: a terminal that rests sits out of it. One in the poll
  // waiting for nothing still hears of its hang-up and errors.
  bool InPoll() const { return !IsResting(); }
  // What it waits for in this pass.
  virtual short PollEvents() const;
  int Fd() const { return m_fd.Get(); }

  // What it did since it was last asked that bears on the program's window size: it typed keys,
  // it told its size (the last one it told).
  struct Activity {
    bool typed = false;
    std::optional<WindowSize> told_size;
  };
  Activity TakeActivity() { return std::exchange(m_activity, Activity{}); }

  // Serves what poll returned: an error, keys or a hang-up, room for output.
  Outcome Serve(size_t position);
  // Writes as much of its output as it takes now, unless it rests; a serial console that fails
  // rests from now on.
  Outcome Deliver(size_t position);
  // Its deadlines that ran out at `now`; `final_output`: the program has ended and its last
  // output is being delivered.
  virtual Outcome Expire(Clock::time_point now, size_t position, bool final_output) = 0;
  // Its earliest deadline.
  virtual std::optional<Clock::time_point> Deadline(bool final_output) const = 0;

 protected:
  // Why a terminal sits out of the poll for a while.
  enum class Rest {
    kNone,
    kForInputRoom,  // hung up with its last keys unread while the input ring was full
    kAfterError,    // the serial console, after an error, until its back-off is over
  };

  Outcome Leave(Departure why, int error = 0);
  bool IsResting() const { return m_rest != Rest::kNone; }
  void RestFor(Rest why) { m_rest = why; }
  // Back in the poll once the input ring has room for what it holds.
  void WakeWhenInputHasRoom();
  bool Over(std::optional<Clock::time_point> since, Clock::duration limit,
            Clock::time_point now) const {
    return since && now - *since >= limit;
  }

  // What each kind does on: an error on its descriptor; keys to read with no room for them in
  // the input ring, and a hang-up; its end of file; a failed read or write; output it took.
  virtual Outcome ConnectionError(size_t position) = 0;
  virtual Outcome HangUpWithoutInputRoom() = 0;
  virtual Outcome EndOfFile() = 0;
  virtual Outcome ReadFailed(int error, size_t position) = 0;
  virtual Outcome WriteFailed(int error, size_t position) = 0;
  virtual void TookOutput() {}
  virtual void RestAfterError() {}
  // Reads its keys into the input ring.
  virtual Outcome Read(short returned, size_t position);
  // What Read does when the input ring has no room, and when a read took nothing (`got` 0: its
  // end of file; otherwise `error` says why).
  Outcome NoInputRoom(short returned);
  Outcome ReadTookNothing(ssize_t got, int error, size_t position);
  // Writes as much of its output as it takes now.
  Outcome Write(size_t position);

  FileDescriptor m_fd;
  OutputRing& m_output;
  InputRing& m_input;
  const uint32_t m_reader;
  Rest m_rest = Rest::kNone;
  // Since when it has held the program back (its reader full) without taking anything.
  std::optional<Clock::time_point> m_blocked_since;
  // Since when it has had output waiting without taking any.
  std::optional<Clock::time_point> m_idle_since;
  Activity m_activity;

 private:
  const unsigned m_number;
  const Peer m_peer;
  Departure m_departure = Departure::kClosed;
  int m_error = 0;
};

// Who a connection is, in its lines: "<kind>, uid <uid>, pid <pid>".
std::string DescribeConnection(const char* kind, Peer peer);

// The text of a departure in its line: "left: <reason>".
std::string DepartureText(Departure why, int error);
