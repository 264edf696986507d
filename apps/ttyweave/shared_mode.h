// SPDX-License-Identifier: MIT
#pragma once

#include "share_config.h"

// Shared mode: runs argv[1] (with its arguments) on a pseudo-terminal shared by the network
// terminals and, when configured, the serial console, relaying the kernel log, until the
// program ends or the daemon is told to stop. Returns the daemon's exit status: the program's
// own, 122 if it was killed by a signal, 121 after SIGTERM, 120 if the session was lost.
// Throws when the session cannot be set up.
int RunSharedMode(const ShareConfig& config, int argc, char** argv);
