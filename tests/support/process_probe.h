#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

// User plus system CPU time a running process has used so far.
double CpuSeconds(pid_t pid);

// How often a process has gone to sleep or been preempted so far: counts its wake-ups.
unsigned long ContextSwitches(pid_t pid);

// Waits until the process is stopped (SIGSTOP); false after the time-out.
bool WaitUntilStopped(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The exit code of a wait status, or -1 (with a test failure) when it did not exit.
int ExitCodeOf(const std::optional<int>& status);
