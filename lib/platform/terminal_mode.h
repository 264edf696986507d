// SPDX-License-Identifier: MIT
#pragma once

#include <termios.h>

// What raw mode does to a line's own settings (its control flags: speed, character size, parity,
// hardware flow control).
enum class LineSettings {
  kEightBitsNoParity,  // 8 bits, no parity, as cfmakeraw
  kKeptAsFound,        // whatever the kernel or init chose
};

// Makes `settings` raw: no echo, no line buffering, no keys that raise signals, no input or
// output processing, one-byte reads, so that every key reaches the reader as a byte and every
// byte written reaches the line unchanged.
void MakeRaw(termios* settings, LineSettings line);

// Puts a terminal into raw mode (MakeRaw, 8 bits, no parity) once its output has drained.
// Returns 0, or -1 from the failing call, silently.
int SetRawMode(int fd);
