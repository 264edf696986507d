// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

// The line that relays one kernel log record, as /dev/kmsg hands it out (NUL-terminated):
// "<priority>,<sequence>,<microseconds>,<flags>[,...];<message>\n[ KEY=value\n...]".
// A record whose severity is below `level` gives "{seconds.millis} message\r\n"; one that is
// not gives an empty string; one that cannot be parsed gives "ERROR parsing kmsg: <why>",
// without a line end. Never throws.
std::string FormatKmsgRecord(const char* record, uint32_t level);
