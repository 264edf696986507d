// SPDX-License-Identifier: MIT
#pragma once

// Makes the process the leader of its own session and process group. Throws
// std::runtime_error when it leads a group but not a session (started by a job-control shell),
// ErrnoException("setsid") when setsid fails; other trouble is printed and tolerated.
void SetupProcessGroup();

// Makes descriptors 0 and 1 the serial console "/dev/ttyS0" (115200 baud, raw) unless
// standard input already is a terminal. Returns false, after printing why, when the console
// cannot be opened or duplicated: start-up cannot go on.
bool ConfigureConsole();

// Applies 115200 baud, 8N1 and the console's line settings as far as possible; prints a line
// for each step that fails.
void ConfigureSerialPort(int fd);
