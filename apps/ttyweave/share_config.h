// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>

// What the settings say about sharing the terminal; all false when nothing could be read.
struct ShareConfig {
  bool network_enabled = false;     // a telnet or ssh port is configured: share the terminal
  bool serial_with_telnet = false;  // the serial console takes part in a shared session
};

// Fills `config` from the Registry section "networking": network_enabled when "telnet" or "ssh"
// holds a port from 1 to 65535, serial_with_telnet when "serial_with_telnet" holds a non-zero
// number. A value that cannot be read or converted leaves its flag false, silently. When no port
// is enabled because the Registry could not be asked (no system bus, no owner of its name, no
// answer in time, a D-Bus error), one line on stderr says why. Never throws.
void ReadShareConfig(ShareConfig& config);

// The kernel log relay's level, "telnet_log_level" of the same section: records of a severity
// below it are relayed ("-1" wraps to the largest level and relays everything). Nothing when it
// cannot be read or is no plain number. Never throws.
std::optional<uint32_t> ReadKernelLogLevel();
