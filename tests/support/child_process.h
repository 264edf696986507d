#pragma once

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
