#pragma once

// What the settings say about sharing the terminal; all false when nothing could be read.
struct ShareConfig {
  bool network_enabled = false;     // a telnet or ssh port is configured: share the terminal
  bool serial_with_telnet = false;  // the serial console takes part in a shared session
};

// Fills `config` from the Registry section "networking": network_enabled when "telnet" or "ssh"
// holds a port from 1 to 65535, serial_with_telnet when "serial_with_telnet" holds a non-zero
// number. A value that cannot be read or converted leaves its flag false, silently; a Registry
// that cannot be reached at all is reported in one line on stderr. Never throws.
void ReadShareConfig(ShareConfig& config);
