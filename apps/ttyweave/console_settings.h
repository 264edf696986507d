// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

#include "window_size_protocol.h"

// What the settings say about the console log and viewers (Registry section "console").
struct ConsoleSettings {
  // A few screens of history and a few minutes of a serial line's output, with little flash.
  static constexpr size_t kDefaultLogSize = 65536;
  // Less than a page is not worth a file; more than 16 MiB (gathered in memory twice over) is
  // more than a device should hold back for its console.
  static constexpr size_t kSmallestLogSize = 4096;
  static constexpr size_t kLargestLogSize = 16777216;

  std::string log_file;               // absolute path of the console log; empty: no log
  size_t log_size = kDefaultLogSize;  // the most bytes one log file may hold
  // The most viewers at once (they cannot type); 0: no viewers' socket. Any other non-zero
  // value of the key gives kMostViewers.
  static constexpr size_t kMostViewers = 7;
  size_t viewers = 0;

  // Some hours of an interactive session's recording; the files of a recording replay alone, so a
  // smaller one would hold too little to be worth replaying, and a larger one takes too long to
  // load on a device.
  static constexpr size_t kDefaultRecordingSize = 1048576;
  static constexpr size_t kSmallestRecordingSize = 65536;
  static constexpr size_t kLargestRecordingSize = 268435456;
  std::string recording;  // absolute path of the session's recording; empty: none
  size_t recording_size = kDefaultRecordingSize;  // the most bytes one of its files may hold

  // The size the program's terminal starts at, and the serial console's.
  static constexpr WindowSize kDefaultWindowSize{80, 24};
  WindowSize window_size = kDefaultWindowSize;
};

// Reads "log_file", "log_size", "viewers" (a number from 1 to kMostViewers caps them), "recording",
// "recording_size", "columns" and "rows". A missing key or a Registry that does not answer gives
// the default silently; a size out of its range gives the default and one line on stderr (columns
// or rows not from 1 to kMaxWindowDimension likewise), and so does a path that is not absolute (no
// log, no recording). Never throws.
ConsoleSettings ReadConsoleSettings();
