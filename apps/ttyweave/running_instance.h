// SPDX-License-Identifier: MIT
#pragma once

// Whether a daemon listens on the Unix socket `path`: it accepts a connection, or would once its
// backlog has room. A file that nobody listens on (left by a daemon that was killed) does not
// answer.
bool SocketAnswers(const char* path);

// Whether another daemon answers on the terminals' or the viewers' socket; if so, says so in one
// line on stderr. Its sockets, terminals, kernel console level and log are then left alone.
bool AnotherInstanceRuns();
