#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

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
