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

#include "process_probe.h"
#include "sandbox.h"
#include "terminal_client.h"
#include "wait_until.h"

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
