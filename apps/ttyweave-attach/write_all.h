// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "termination_signals.h"

// Writes all of `data` to `fd`. The descriptor may be blocking, as standard output usually is:
// it is shared with other processes, so its mode is left as found (a non-blocking one is waited
// for in poll). Returns false, with the rest unwritten, once one of `signals` has arrived.
// Throws SystemCallError naming `call` ("write (standard output)") on any other failure.
bool WriteAll(int fd, std::string_view data, const TerminationSignals& signals, const char* call);
