#pragma once

#include <sys/types.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What a function run in a child process left behind.
struct ChildResult {
  int status = 0;  // wait status
  std::string out;
  std::string err;
};

// Runs `body` in a forked child with standard output and error captured; the child exits 0
// when `body` returns. For code that aborts, exits or changes process-wide state.
ChildResult RunInChild(const std::function<void()>& body);

// Ends a child process started by the caller: SIGTERM, then SIGKILL when it has not ended
// within a few seconds. Returns its wait status.
int StopProcess(pid_t pid);

// Waits for the child `pid` to end and reaps it: its wait status, or nothing after the time-out.
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout);

// Processes started by `pid` and by them, found through /proc.
std::vector<pid_t> Descendants(pid_t pid);
