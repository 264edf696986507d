#pragma once

// Makes the process the leader of its own session and process group. Throws
// std::runtime_error when it leads a group but not a session (started by a job-control shell),
// ErrnoException("setsid") when setsid fails; other trouble is printed and tolerated.
void SetupProcessGroup();

// Makes descriptors 0 and 1 the serial console "/dev/ttyS0" (115200 baud, raw) unless
// standard input already is a terminal. Returns false, after printing why, when the console
// cannot be opened or duplicated: start-up cannot go on.
bool ConfigureConsole();

// Gives descriptors 0 and 1 an open file description of the console of their own when it is a
// terminal handed over by whoever started the daemon (init often makes 0, 1 and 2 one open
// file), so that the session's non-blocking use of it changes no open file that the program or
// anyone else shares. Throws ErrnoException("reopen console"), or std::runtime_error when the
// console is a pseudo-terminal master, which cannot be opened again.
void ReopenConsole();

// Applies 115200 baud, 8N1 and the console's line settings as far as possible; prints a line
// for each step that fails.
void ConfigureSerialPort(int fd);
