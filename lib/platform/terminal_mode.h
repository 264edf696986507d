// SPDX-License-Identifier: MIT
#pragma once

// Puts a terminal into raw mode (no processing, no echo, 8 bits, one-byte reads).
// Returns 0, or -1 from the failing call, silently.
int SetRawMode(int fd);
