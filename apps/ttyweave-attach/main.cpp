// SPDX-License-Identifier: MIT
// ttyweave-attach [-r] [-e KEY] [SOCKET]: joins a person's terminal (or a login service's
// connection) to the shared session of ttyweave, until the detach key, the end of the session,
// the end of input or a signal.
#include <unistd.h>

#include <cstdio>

#include "attach_loop.h"
#include "command_line.h"
#include "login_shell.h"
#include "raw_terminal.h"
#include "session_socket.h"
#include "system_call_error.h"
#include "termination_signals.h"
#include "write_all.h"

namespace {

constexpr int kSuccessExitStatus = 0;
// Refused, cannot connect, or a failed system call.
constexpr int kFailureExitStatus = 1;
constexpr int kUsageExitStatus = 2;
// A caught signal ends the client with 128 + its number, as a shell reports a process killed
// by it (SIGHUP 129, SIGINT 130, SIGTERM 143), but only after the terminal has been restored.
constexpr int kSignalExitStatusBase = 128;

// Both notices start on a line of their own and leave the cursor at the start of the next, on
// a terminal in raw mode as much as in a log.
constexpr char kDetachedNotice[] = "\r\n[detached]\r\n";
constexpr char kSessionEndedNotice[] = "\r\n[session ended]\r\n";

// Tells the user how the attachment ended (the notice, or the refusal on standard error) and
// returns the exit status.
int Finish(AttachOutcome outcome, RawTerminal& terminal, const TerminationSignals& signals) {
  const char* notice = nullptr;
  switch (outcome) {
    case AttachOutcome::kDetached:
      notice = kDetachedNotice;
      break;
    case AttachOutcome::kSessionEnded:
      notice = kSessionEndedNotice;
      break;
    case AttachOutcome::kInputEnded:
      return kSuccessExitStatus;
    case AttachOutcome::kRefused:
      terminal.Restore();
      std::fprintf(stderr, "ttyweave-attach: refused: %.*s\n",
                   static_cast<int>(RefusalFilter::kRefusal.size()),
                   RefusalFilter::kRefusal.data());
      return kFailureExitStatus;
    case AttachOutcome::kSignalled:
      break;
  }
  // Written while the terminal is still raw, so the line ends arrive exactly as given.
  if (notice != nullptr && WriteAll(STDOUT_FILENO, notice, signals, "write (standard output)")) {
    return kSuccessExitStatus;
  }
  terminal.Restore();
  return kSignalExitStatusBase + signals.Received();
}

}  // namespace

int main(int argc, char** argv) {
  const bool login_shell = StartedAsLoginShell(argc, argv);
  if (!login_shell) {
    if (const auto status = AnswerOwnOption(argc, argv)) return *status;
  }
  const std::optional<AttachOptions> options =
      login_shell ? ParseLoginShell(argc, argv) : ParseCommandLine(argc, argv);
  if (!options) return login_shell ? kFailureExitStatus : kUsageExitStatus;
  // Connected before any signal is caught or the terminal touched: until then a signal's
  // default action leaves nothing to put back.
  const FileDescriptor session = ConnectToSession(options->socket_path);
  if (!session.IsOpen()) return kFailureExitStatus;
  try {
    TerminationSignals signals;
    RawTerminal terminal(STDIN_FILENO);
    // A person's terminal (not a pipe, not a read-only watcher) tells its size.
    const bool tells_window_size = !options->read_only && terminal.IsRaw();
    // Caught before the size is first read, so that no change is missed.
    if (tells_window_size) signals.CatchWindowChanges();
    AttachLoop loop(session.Get(), *options, signals, tells_window_size);
    return Finish(loop.Run(), terminal, signals);
  } catch (const SystemCallError& error) {
    // The terminal's destructor has restored it by now, so the message reads normally.
    std::fprintf(stderr, "ttyweave-attach: %s\n", error.what());
    return kFailureExitStatus;
  }
}
