#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "circular_byte_buffer.h"

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

// Where network terminals connect, and who may: only this user (and root) can reach the socket.
constexpr char kListenerPath[] = "/var/run/ttyweave-socket";
constexpr char kListenerOwner[] = "tessaline";

// One shared session: a program on a pseudo-terminal whose output goes to every terminal (the
// serial console and network clients) and to which every terminal's input goes. Owns the
// pseudo-terminal, the child, every descriptor it polls and both rings. One thread only.
class SharedSession {
 public:
  // The serial console and seven network terminals.
  static constexpr size_t kMaxTerminals = 8;

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

  // Relays the kernel log records read from `fd` (non-blocking, one record per read) whose
  // severity number is below `level`. The session takes ownership of `fd`.
  void SetKernelLog(int fd, uint32_t level);
  // Reads the relay level from the settings ("telnet_log_level") and opens the kernel log after
  // its newest record, so that only what is logged from now on is relayed. Prints how it will
  // log; never throws: without a usable level nothing is relayed.
  void SetupKmsg();
  // Turns the kernel's own console logging down to 0 while the relay runs, so that kernel
  // messages reach the serial console only as whole relayed lines. Throws ErrnoException.
  void DisableConsoleLogging();

  // Listens for network terminals on kListenerPath, a socket that only kListenerOwner can
  // reach (mode 0700) from the moment it exists. Throws ErrnoException or std::runtime_error.
  void StartListener();
  // Adds a connected descriptor as the next terminal; it first receives the output history.
  // Throws std::runtime_error("Too many terminals") when all eight places are taken.
  void AddTerminal(int fd);
  // Closes terminal `index` and removes it; the terminals after it move down one index.
  void RemoveTerminal(size_t index);
  size_t TerminalCount() const { return m_terminals; }

  // Moves bytes between the child and the terminals until the session ends: the child was
  // reaped (its last output is then still delivered, for at most a second), SIGTERM arrived, or
  // the pseudo-terminal or the serial console failed (then the exit status is
  // kSessionLostExitStatus). Throws ErrnoException("poll").
  void RunSession();

  // The daemon's exit status. Only once the session has ended.
  int GetExitStatus() const;

 private:
  enum class TerminalOutcome { kServed, kParked, kRemoved, kSessionLost };

  // Poll table slots.
  static constexpr size_t kListenerSlot = 0;
  static constexpr size_t kMasterSlot = 1;
  static constexpr size_t kSignalSlot = 2;
  static constexpr size_t kKmsgSlot = 3;
  static constexpr size_t kFirstTerminalSlot = 4;
  static constexpr size_t kPollSlots = kFirstTerminalSlot + kMaxTerminals;
  // How often a serial console that keeps failing is looked at again: soon enough to resume
  // after a passing fault, seldom enough not to flood standard error with its messages.
  static constexpr std::chrono::seconds kSerialRetryInterval{1};

  // Session loop (session_loop.cpp).
  int PreparePoll(bool* blocked_timeout);
  int HoldUpOutput();
  bool ServeChild();
  void CloseMaster();
  bool ServeTerminals();
  TerminalOutcome ServeTerminal(size_t index);
  TerminalOutcome ReadTerminal(size_t index, short events, bool* in_error);
  TerminalOutcome WriteTerminal(size_t index, bool* in_error);
  void DisconnectBlockedTerminals();
  void DeliverFinalOutput();
  void EndSessionWithoutChildStatus();

  // Signals (session_signals.cpp).
  void HandleSignal();
  void ReapChild(pid_t pid);

  // Kernel log relay (kmsg_relay.cpp).
  void HandleKmsg();
  void PushKmsgLine();

  // Terminal table and listener (terminal_table.cpp).
  void AcceptConnection();
  pollfd& TerminalSlot(size_t index) { return m_fds[kFirstTerminalSlot + index]; }
  int TerminalFd(size_t index) const;
  bool IsSerialConsole(size_t index) const { return TerminalFd(index) == 0; }
  bool IsParked(size_t index) const { return m_fds[kFirstTerminalSlot + index].fd < 0; }
  void Park(size_t index);
  void BackOffSerialConsole(size_t index);
  void ResumeParkedTerminals();
  void DropParkedConsoleBacklog();
  int SerialRetryTimeout() const;

  int m_master;
  pollfd m_fds[kPollSlots];
  size_t m_terminals;
  pid_t m_child_pid;
  bool m_exit;
  int m_exit_status;
  uint32_t m_log_level;
  std::string m_kmsg_line;
  MultiReaderCircularByteBuffer<4096, kMaxTerminals> m_output;
  CircularByteBuffer<128> m_input;
  // The kernel log descriptor (-1: no relay); slot 3 holds it only while no line is waiting.
  int m_kmsg_fd;
  // The child's side of the pseudo-terminal has closed; its last bytes are still being read.
  bool m_master_hung_up;
  // When a serial console that reported an error is looked at again.
  std::chrono::steady_clock::time_point m_serial_resume_time;
};
