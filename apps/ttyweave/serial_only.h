// SPDX-License-Identifier: MIT
#pragma once

// Replaces the process with argv[0] (looked up on PATH) and its arguments. Never returns:
// throws ErrnoException named after the program when it cannot be executed.
[[noreturn]] void ExecProgram(int argc, char** argv);

// Serial-only mode: takes descriptor 0 as the controlling terminal, tells the program it runs on
// the serial console alone (CONSOLE_SERIAL=1, no CONSOLE_MULTI) and becomes the program.
// argv is the daemon's own vector: argv[1] is the program.
[[noreturn]] void RunSerialOnly(int argc, char** argv);
