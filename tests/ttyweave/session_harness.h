#pragma once

// Runs a real SharedSession in a forked child process of the test, in a private world: a mount
// namespace in which the sandbox's run/ folder is /run (so the socket is
// "<sandbox>/run/ttyweave-socket" from outside) and its passwd file is /etc/passwd. The
// child's standard error is captured in the sandbox, its exit status is the session's.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

class SharedSession;

// The harness itself failed (no private world, an exception from set-up).
constexpr int kHarnessFailureStatus = 99;

struct SessionOptions {
  SessionOptions(std::vector<std::string> program_and_arguments = {})
      : program(std::move(program_and_arguments)) {}

  std::vector<std::string> program;  // the child program and its arguments
  int serial_console = -1;           // becomes descriptors 0 and 1 and terminal 0; -1: no console
  int kernel_log = -1;               // relayed as the kernel log at `log_level`; -1: no relay
  uint32_t log_level = 0;
  bool listener = true;
  mode_t umask = 022;  // the umask the daemon was started with
  // Runs the session loop; by default just RunSession(). For measuring around it.
  std::function<void(SharedSession&)> run_loop;
};

// Starts the session; the returned process kills it (and its child) when destroyed.
std::unique_ptr<DaemonProcess> StartSession(const Sandbox& sandbox, const SessionOptions& options);

// A network terminal: one connection to the session's socket. Reads wait on conditions with
// deadlines and keep everything received.
class TerminalClient {
 public:
  explicit TerminalClient(const std::string& socket_path);
  ~TerminalClient();
  TerminalClient(const TerminalClient&) = delete;
  TerminalClient& operator=(const TerminalClient&) = delete;

  int Fd() const { return m_fd; }
  void Write(const std::string& bytes);
  // Read until what has arrived contains `text` / holds `count` bytes / ended; false on time-out.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = kDefaultTimeout);
  bool WaitForBytes(size_t count, std::chrono::milliseconds timeout = kDefaultTimeout);
  bool WaitForEnd(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Takes what is readable now without waiting; false once the connection has ended.
  bool ReadAvailable();
  const std::string& Received() const { return m_received; }
  bool Ended() const { return m_ended; }
  void Close();

  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

 private:
  bool ReadOnce(int timeout_ms);
  template <typename Done>
  bool ReadUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || m_ended) return done();
      ReadOnce(static_cast<int>(left.count()));
    }
    return true;
  }

  int m_fd;
  std::string m_received;
  bool m_ended = false;
};

// Reads from all `clients` at once (so none is held up by the others) until each has received
// at least `count` bytes; false after the time-out.
bool WaitForBytesOnAll(const std::vector<TerminalClient*>& clients, size_t count,
                       std::chrono::milliseconds timeout = TerminalClient::kDefaultTimeout);

// Deterministic bytes of every value, different for each seed.
std::string PatternBytes(size_t count, uint64_t seed);

// User plus system CPU time a running process has used so far.
double CpuSeconds(pid_t pid);

// How often a process has gone to sleep or been preempted so far: counts its wake-ups.
unsigned long ContextSwitches(pid_t pid);

// Waits until the process is stopped (SIGSTOP); false after the time-out.
bool WaitUntilStopped(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Waits until `condition` holds, looking again every few milliseconds; false after the time-out.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The exit code of a wait status, or -1 (with a test failure) when it did not exit.
int ExitCodeOf(const std::optional<int>& status);
