// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "window_size_protocol.h"

// What a client that tells its window size needs beyond the records (window_size_protocol.h):
// its terminal's size, and the first message that asks the daemon to read records.

// The size of the terminal `fd` (TIOCGWINSZ); none when it has none (0 columns or rows, as a
// pseudo-terminal nobody sized has) or cannot tell.
std::optional<WindowSize> TerminalWindowSize(int fd);

// Sends `data` as one message that passes a descriptor of /dev/null along (SCM_RIGHTS), which asks
// the daemon to take what this connection sends as records from the message's first byte on. The
// daemon never keeps the descriptor; it is closed here once sent. Returns what sendmsg does
// (never raising SIGPIPE): the bytes sent, or -1 with errno.
ssize_t SendMarked(int session_fd, const void* data, size_t size);
