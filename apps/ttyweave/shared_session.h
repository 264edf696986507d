// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "circular_byte_buffer.h"
#include "console_log.h"
#include "quiet_kernel_console.h"
#include "terminal_mark_limit.h"
#include "terminal_socket.h"

// Sets O_NONBLOCK on `fd`, keeping its other status flags. Throws ErrnoException("nonblock").
void SetNonBlocking(int fd);

// Adds the signals the daemon takes through its signal descriptor instead of letting them act:
// SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGCHLD.
void AddHandledSignals(sigset_t* set);

// The user id of `name`. Throws ErrnoException("getpwnam") when the lookup fails, or
// std::runtime_error("User '<name>'not found") when there is no such user.
uid_t LookupUserId(const char* name);

// Exit statuses the session decides itself (a child that exits normally gives its own).
constexpr int kSessionLostExitStatus = 120;  // ended without the child's status: the
                                             // pseudo-terminal failed or the console went away
constexpr int kTerminatedExitStatus = 121;   // the daemon received SIGTERM
constexpr int kChildKilledExitStatus = 122;  // the child was killed by a signal

// One shared session: a program on a pseudo-terminal whose output goes to every terminal (the
// serial console and network clients) and to which every terminal's input goes. Owns the
// pseudo-terminal, the child, every descriptor it polls and both rings. One thread only.
// Its parts: shared_session.cpp (the object and its child), shared_session_loop.cpp (the loop
// and the child's bytes), shared_session_terminals.cpp (terminals and the listener),
// shared_session_signals.cpp and shared_session_kmsg.cpp (the kernel log relay).
class SharedSession {
 public:
  // The serial console and seven network terminals.
  static constexpr size_t kMaxTerminals = 8;
  // The serial console's number in the terminals' lines; connections are numbered from 1 in the
  // order they arrive, a number that stays theirs until they leave.
  static constexpr unsigned kSerialConsoleNumber = 0;
  // The child's output and kernel log lines on their way to the terminals: a new terminal's
  // history is the last kOutputRingSize - 1 bytes.
  static constexpr size_t kOutputRingSize = 4096;
  // All terminals' keys on their way to the child: what the child has not taken yet.
  static constexpr size_t kInputRingSize = 128;

  // Opens the pseudo-terminal master. Throws ErrnoException("openpt" or "unlockpt").
  SharedSession();
  // Stops a child that still runs (StopChild) and closes the descriptors the session opened.
  ~SharedSession();
  SharedSession(const SharedSession&) = delete;
  SharedSession& operator=(const SharedSession&) = delete;

  // Starts argv[0] (looked up on PATH) with `argv` (null-terminated) on the raw pseudo-terminal
  // slave, as a session leader whose controlling terminal is the slave; its standard error stays
  // ours. Throws ErrnoException("ptsname", "open slave pty" or "fork").
  void StartChild(int argc, char** argv);
  // SIGTERM, a second's grace, SIGKILL. The child is not waited for.
  void StopChild();

  // Blocks the handled signals in the calling thread and opens the descriptor they are read
  // from. Call before StartChild and before any other thread exists. Throws
  // ErrnoException("signalfd").
  void SetupSignals();

  // Reads the relay level from the settings ("telnet_log_level") and opens the kernel log after
  // its newest record, so that only what is logged from now on is relayed. Prints how it will
  // log; never throws: without a usable level nothing is relayed.
  void SetupKmsg();
  // Turns the kernel's own console logging down to 0 while the relay runs, so that kernel
  // messages reach the serial console only as whole relayed lines; the session's end puts the
  // level back. Throws ErrnoException or std::runtime_error.
  void DisableConsoleLogging();

  // Starts the console log at `path` (files of at most `size_limit` bytes) with the mark of the
  // session's start and its program. Call before StartChild.
  void StartLog(const std::string& path, size_t size_limit, char** argv);

  // Listens for network terminals on kListenerPath, a socket that only kListenerOwner can
  // reach (mode 0700) from the moment it exists. Throws ErrnoException or std::runtime_error.
  void StartListener();
  // The same for viewers, on kViewListenerPath owned by kViewListenerOwner: terminals that
  // receive everything but whose keys never reach the program, at most `most_viewers` at once.
  // A viewers' user who could also type (root, or kListenerOwner's uid) gets no socket:
  // throws std::runtime_error.
  void StartViewListener(size_t most_viewers);
  // Adds the serial console (descriptor 0) as the next terminal; it first receives the output
  // history. Throws std::runtime_error("Too many terminals") when all eight places are taken.
  void AddSerialConsole();

  // Moves bytes between the child and the terminals until the session ends: the child was
  // reaped (its last output then still reaches every terminal that keeps taking it, unless
  // SIGTERM cuts that short), SIGTERM arrived, or the pseudo-terminal or the serial console
  // failed (then the exit status is kSessionLostExitStatus). Throws ErrnoException("poll").
  void RunSession();

  // The daemon's exit status. Only once the session has ended.
  int GetExitStatus() const;

 private:
  using Clock = std::chrono::steady_clock;

  enum class TerminalKind {
    kSerialConsole,  // descriptor 0, both ways; never disconnected
    kNetwork,        // a connection to kListenerPath
    kViewer,         // a connection to kViewListenerPath, shut for reading: never typed from
  };
  // Who connected, as the socket tells (SO_PEERCRED).
  struct Peer {
    uid_t uid;
    pid_t pid;
  };
  // Why a terminal sits out of the poll for a while.
  enum class Rest {
    kNone,
    kForInputRoom,  // hung up with its last keys unread while the input ring was full
    kAfterError,    // the serial console, after an error, until its back-off is over
  };
  // What the session keeps of a terminal besides its poll slot and its reader of the output
  // ring; moves with them (RemoveTerminal keeps the three in step).
  struct TerminalState {
    int fd = -1;
    TerminalKind kind = TerminalKind::kNetwork;
    unsigned number = kSerialConsoleNumber;  // in its arrival and departure lines
    Peer peer{};
    Rest rest = Rest::kNone;
    // Since when it has held the child back (its reader full) without taking anything.
    std::optional<Clock::time_point> blocked_since;
    // Since when it has had output waiting without taking any.
    std::optional<Clock::time_point> idle_since;
  };
  // Why a terminal left.
  enum class Departure { kClosed, kBlocked, kStalled, kConnectionError, kReadError, kWriteError };
  // A socket terminals arrive through.
  struct Listener {
    Listener(TerminalKind arrivals, size_t poll_slot) : kind(arrivals), slot(poll_slot) {}
    int fd = -1;        // none
    TerminalKind kind;  // of the terminals that arrive through it
    size_t slot;
    // While it rests after a failed accept, when it is tried again.
    std::optional<Clock::time_point> retry_at;
    int last_error = 0;
  };
  enum class Outcome { kServed, kRemoved, kSessionLost };

  // How long a network terminal may hold the child back before it is disconnected: a live client
  // drains a whole ring in far less, and the others stall no longer.
  static constexpr std::chrono::milliseconds kBlockedTerminalTimeout{50};
  // How long a terminal may take nothing of the output that waits for it before it is let go: the
  // serial console is then treated as failed, and a network terminal, once the child has ended,
  // disconnected. A line at 115200 baud or a slow client takes bytes far more often, while a
  // stopped one (CTS low, ^S, a stalled adapter) would otherwise freeze every terminal or keep
  // the daemon from ending.
  static constexpr std::chrono::seconds kStalledTerminalTimeout{2};
  // How often a serial console that keeps failing is looked at again: soon enough to resume
  // after a passing fault, seldom enough not to flood standard error with its messages.
  static constexpr std::chrono::seconds kSerialRetryInterval{1};
  // How long the listener rests after a failed accept (out of descriptors, say) before the
  // waiting connection is tried again: a user hardly notices, and the loop does not spin.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

  // Poll table slots.
  static constexpr size_t kListenerSlot = 0;
  static constexpr size_t kMasterSlot = 1;
  static constexpr size_t kSignalSlot = 2;
  static constexpr size_t kKmsgSlot = 3;
  static constexpr size_t kViewListenerSlot = 4;
  static constexpr size_t kFirstTerminalSlot = 5;
  static constexpr size_t kPollSlots = kFirstTerminalSlot + kMaxTerminals;

  // Session loop and the child's bytes (shared_session_loop.cpp).
  void ServeUntilOver();
  void PreparePoll();
  int PollTimeout(Clock::time_point now) const;
  bool SessionOver() const;
  bool AnyOutputPending() const;
  bool ServeChild();
  bool ReadChildOutput();
  bool WriteChildInput();
  void CloseMaster();
  void StopReadingMaster();
  bool MasterReadable() const { return m_master >= 0 && !m_master_ended; }
  void EndLog();
  void EndSessionWithoutChildStatus();
  bool ChildReaped() const { return m_child_pid == kNoChild; }
  bool DeliveringFinalOutput() const { return m_exit && ChildReaped(); }

  // Terminals and the listener (shared_session_terminals.cpp).
  bool ServeTerminals();
  Outcome ServeTerminal(size_t index);
  Outcome ReadTerminal(size_t index, short events, bool* failed);
  Outcome WriteTerminal(size_t index, bool* failed);
  void WriteToTerminals();
  void RestAfterError(size_t index);
  void AddTerminal(int fd, TerminalKind kind, Peer peer);
  void RemoveTerminal(size_t index, Departure why, int error = 0);
  static std::string Describe(TerminalKind kind, Peer peer);
  void ReportTerminal(const TerminalState& terminal, const std::string& event);
  void MarkTerminalEvent(TerminalKind kind, uid_t uid, const std::string& text);
  void MarkLeftOutEvents(bool all);
  const char* WhyNoPlace(TerminalKind kind) const;
  void Refuse(int fd, TerminalKind kind, Peer peer, const char* why);
  void StartListening(Listener& listener, const char* path, const char* owner);
  void AcceptConnection(Listener& listener, Clock::time_point now);
  void ExpireDeadlines(Clock::time_point now);
  pollfd& TerminalSlot(size_t index) { return m_fds[kFirstTerminalSlot + index]; }
  const pollfd& TerminalSlot(size_t index) const { return m_fds[kFirstTerminalSlot + index]; }
  int TerminalFd(size_t index) const { return m_terminal[index].fd; }
  bool IsSerialConsole(size_t index) const {
    return m_terminal[index].kind == TerminalKind::kSerialConsole;
  }
  bool IsViewer(size_t index) const { return m_terminal[index].kind == TerminalKind::kViewer; }
  bool IsResting(size_t index) const { return m_terminal[index].rest != Rest::kNone; }
  void RestTerminal(size_t index, Rest why);
  void WakeTerminal(size_t index);
  void DropFailedConsoleBacklog();
  void DropConsoleBacklog(size_t index);
  bool IsWaitedFor(size_t index) const;

  // Signals (shared_session_signals.cpp).
  void HandleSignal();
  void ReapChildren();
  bool Reap(pid_t which);

  // Kernel log relay (shared_session_kmsg.cpp).
  void HandleKmsg();
  void PushKmsgLine();
  void SetKernelLog(int fd, uint32_t level);

  int m_master;
  pollfd m_fds[kPollSlots];
  size_t m_terminals;
  static constexpr pid_t kNoChild = -1;
  pid_t m_child_pid;  // kNoChild before the start and once it has been reaped
  bool m_exit;
  int m_exit_status;
  uint32_t m_log_level;
  std::string m_kmsg_line;
  MultiReaderCircularByteBuffer<kOutputRingSize, kMaxTerminals> m_output;
  CircularByteBuffer<kInputRingSize> m_input;
  TerminalState m_terminal[kMaxTerminals];
  // The kernel log (-1: no relay); slot 3 holds it only while no line is waiting.
  int m_kmsg_fd;
  // The number the next connection's lines give it.
  unsigned m_next_terminal_number;
  // The most viewers at once (StartViewListener).
  size_t m_most_viewers;
  // Network terminals and viewers arrive through these; each one's slot holds it except while it
  // rests after a failed accept.
  Listener m_listeners[2];
  // The serial console failed (an error, or it took nothing for kStalledTerminalTimeout) and has
  // not taken output since: it loses what it cannot take instead of holding the others back.
  bool m_serial_failed;
  // Its back-off after an error, and the output it lost meanwhile.
  std::optional<Clock::time_point> m_serial_resume_time;
  size_t m_serial_lost_bytes;
  // Whether the master may hold output, as far as the last poll tells: after the child has
  // ended, the session ends once no output is pending and none may come.
  bool m_master_may_hold_output;
  // The master reported its end (the program closed its terminal): it leaves the poll, but stays
  // open until the child is reaped, since closing it would hang up a program still running.
  bool m_master_ended;
  // SIGTERM after the child's end: its last output is no longer waited for.
  bool m_final_output_cut;
  // The kernel's console logging, turned down while the relay serves the serial console; put
  // back after everything else of the session has ended.
  std::optional<QuietKernelConsole> m_quiet_console;
  // Everything the terminals are sent, with the session's events; none without a log_file.
  std::optional<ConsoleLog> m_log;
  // How many of the terminals' arrivals and departures the log is told of.
  TerminalMarkLimit m_mark_limit;
};
