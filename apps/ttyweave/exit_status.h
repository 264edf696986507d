// SPDX-License-Identifier: MIT
#pragma once

// Every exit status the daemon decides itself; a program that exits normally gives its own.

// Start-up could not go on (no console, a failed system call, a program that cannot run), or the
// command line was wrong.
constexpr int kStartupFailureExitStatus = 1;
constexpr int kUsageExitStatus = 1;

// The session ended without the program's status: the pseudo-terminal failed or the console went
// away.
constexpr int kSessionLostExitStatus = 120;
// The daemon received SIGTERM while the program ran.
constexpr int kTerminatedExitStatus = 121;
// The program was killed by a signal.
constexpr int kChildKilledExitStatus = 122;

// The child's own statuses for failures before its program runs.
constexpr int kExecFailedStatus = 2;
constexpr int kSetControllingTtyFailedStatus = 123;
constexpr int kSetForegroundFailedStatus = 124;
constexpr int kSetsidFailedStatus = 125;
