#pragma once

// What the settings say about sharing the terminal; all false when nothing could be read.
struct ShareConfig {
  bool network_enabled = false;     // a telnet or ssh port is configured: share the terminal
  bool serial_with_telnet = false;  // the serial console takes part in a shared session
};
