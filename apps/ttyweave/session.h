// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "kmsg_relay.h"
#include "listener.h"
#include "output_consumer.h"
#include "poll_set.h"
#include "quiet_kernel_console.h"
#include "signals.h"
#include "terminal.h"
#include "window_size_choice.h"

// One shared session: a program on a pseudo-terminal whose output goes to every terminal (the
// serial console, network terminals, viewers) and to which every terminal's input goes. Two
// kinds of things take the output: terminals, which read it from the output ring and hold the
// program back while they take nothing, and output consumers (the console log), which are given
// it as it enters the ring and never hold it back.
//
// Each pass of the loop gathers the poll set from its sources (the master, the signal
// descriptor, the kernel log, the listeners and the terminals, each while it waits for
// something), makes one poll call and hands each source what it returned, in order: signals,
// kernel log, the program, terminals, one new connection per listener; then the deadlines that
// ran out. One thread only. Its parts: session.cpp (the loop and the program's bytes),
// session_terminals.cpp (terminals coming, being served and going), session_window_size.cpp
// (which terminal's window size the program's terminal has).
class SharedSession {
 public:
  // Opens the pseudo-terminal master. Throws ErrnoException("openpt" or "unlockpt").
  SharedSession();
  // Stops a program that still runs; everything the session opened is closed by its owner.
  ~SharedSession();
  SharedSession(const SharedSession&) = delete;
  SharedSession& operator=(const SharedSession&) = delete;

  // Blocks the handled signals in the calling thread and opens the descriptor they are read
  // from. Call before StartChild and before any other thread exists. Throws
  // ErrnoException("signalfd").
  void SetupSignals() { m_signals.Open(); }
  // Relays the kernel log at `level` (KmsgRelay); nothing without one.
  void SetupKmsg(std::optional<uint32_t> level) { m_kmsg.Open(level); }
  // Turns the kernel's own console logging down to 0 while the relay runs, so that kernel
  // messages reach the serial console only as whole relayed lines; the session's end puts the
  // level back. Throws ErrnoException or std::runtime_error.
  void DisableConsoleLogging();
  // Adds something that takes the output and the events without holding the program back. Call
  // before StartChild, so that it takes the program's first byte.
  void AddConsumer(std::unique_ptr<OutputConsumer> consumer);

  // The size the program's terminal starts at, and the serial console's. Call before StartChild.
  // Throws ErrnoException("TIOCSWINSZ").
  void SetWindowSize(WindowSize size);

  // The program and its arguments, as one line.
  static std::string CommandLine(char** argv);
  // Starts the program (Child::Start) with `argv`, null-terminated.
  void StartChild(char** argv);

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

  // Moves bytes between the program and the terminals until the session ends: the program was
  // reaped (its last output then still reaches every terminal that keeps taking it, unless
  // SIGTERM cuts that short), SIGTERM arrived, or the pseudo-terminal or the serial console
  // failed (then the exit status is kSessionLostExitStatus). Throws ErrnoException("poll").
  void RunSession();

  // The daemon's exit status. Only once the session has ended.
  int GetExitStatus() const;

 private:
  using Clock = std::chrono::steady_clock;

  enum class Phase {
    kRunning,      // the program runs (or has yet to start)
    kFinalOutput,  // it was reaped: its last output goes to the terminals that take it
    kOver,         // the status is decided and nothing more is delivered
  };

  // The master, the signals, the kernel log, two listeners and the terminals.
  static_assert(PollSet::kCapacity >= 5 + kMaxTerminals);

  // The loop and the program's bytes (session.cpp).
  void ServeUntilOver();
  void GatherPollSet();
  int PollTimeout(Clock::time_point now) const;
  bool SessionOver() const;
  bool AnyOutputPending() const;
  bool ServeChild();
  bool ReadChildOutput();
  bool WriteChildInput();
  void PushKmsgLine();
  void HandleSignal();
  void ReapChildren();
  void EndSessionWithoutChildStatus();
  // The program was reaped and the session goes no further: its last output is delivered, also
  // in the pass in which something ended the session meanwhile.
  bool DeliveringFinalOutput() const { return m_phase != Phase::kRunning && !m_child.IsRunning(); }
  void TakeOutput(const ByteSpans& runs, size_t count);
  void Publish(SessionEvent event);

  // Terminals coming, being served and going (session_terminals.cpp).
  bool ServeTerminals();
  void WriteToTerminals();
  void ExpireDeadlines(Clock::time_point now);
  void AddTerminal(std::unique_ptr<Terminal> terminal);
  void RemoveTerminal(size_t position);
  void Report(const Terminal& terminal, SessionEvent::Kind kind, const std::string& event);
  const char* WhyNoPlace(Listener::Kind kind) const;
  void AcceptConnection(Listener& listener, Clock::time_point now);

  // The window size (session_window_size.cpp).
  void WindowSizeArrived(const Terminal& terminal);
  void WindowSizeLeft(const Terminal& terminal);
  void FollowWindowSize(Terminal& terminal);
  void ApplyWindowSize(std::optional<WindowSize> change);

  // Put back last: after everything else of the session has ended.
  std::optional<QuietKernelConsole> m_quiet_console;
  // Everything the terminals are sent, with the session's events; written out once the
  // terminals and the program are gone.
  std::vector<std::unique_ptr<OutputConsumer>> m_consumers;
  OutputRing m_output;
  InputRing m_input;
  KmsgRelay m_kmsg;
  SignalReceiver m_signals;
  Listener m_network_listener{Listener::Kind::kNetwork};
  Listener m_viewer_listener{Listener::Kind::kViewer};
  // Network terminals and viewers arrive through these, in this order.
  Listener* const m_listeners[2] = {&m_network_listener, &m_viewer_listener};
  // In the order they arrived; a terminal's position is its place here.
  std::unique_ptr<Terminal> m_terminals[kMaxTerminals];
  size_t m_terminal_count = 0;
  // The number the next connection's lines give it: from 1, in the order they arrive.
  unsigned m_next_terminal_number = 1;
  // The most viewers at once (StartViewListener).
  size_t m_most_viewers = 0;
  // Which terminal's size is in force, among the serial console and the network terminals (a
  // viewer never has one); the serial console's size; the program's terminal's size now.
  WindowSizeChoice m_window_sizes;
  WindowSize m_serial_window_size{};
  WindowSize m_window_size{};
  Phase m_phase = Phase::kRunning;
  std::optional<int> m_status;
  PollSet m_poll;
  // Last, so that it goes first: a program still running is stopped before anything else.
  Child m_child;
};
