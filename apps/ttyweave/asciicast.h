// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The lines of a session's recording in asciicast v2, which asciinema replays: one header line,
// then one event a line, each a JSON value on its own.

// Appends `text` as a JSON string (RFC 8259): quoted, with `"`, `\` and the control characters
// U+0000 to U+001F escaped and everything else as it is, so `text` must be valid UTF-8.
void AppendJsonString(std::string_view text, std::string& json);

// What the header says about one file of the recording.
struct AsciicastStart {
  uint16_t width;       // the pseudo-terminal's columns when the file starts
  uint16_t height;      // and its rows
  int64_t timestamp;    // Unix time when the file starts
  std::string command;  // the program and its arguments as one string, in any bytes
  std::string term;     // the terminals' TERM, in any bytes; empty when not known (no "env")
};

// The header line, '\n' included. Bytes that are not UTF-8 become U+FFFD.
std::string AsciicastHeader(const AsciicastStart& start);

enum class AsciicastEvent : char {
  kOutput = 'o',  // what the terminals are sent
  kResize = 'r',  // a new size, "COLSxROWS"
  kMarker = 'm',  // one of the session's events
};

// The event lines of one file. Each is stamped with the seconds since the file's start, to the
// microsecond, and a stamp is never earlier than the one before (nor than the start), so that a
// replay never goes back in time whatever order the caller's clock readings come in.
class AsciicastEvents {
 public:
  using Clock = std::chrono::steady_clock;

  explicit AsciicastEvents(Clock::time_point start) : m_start(start) {}

  // Appends `[<seconds>.<microseconds>, "<kind>", <text>]\n`; `text` must be valid UTF-8.
  void Append(Clock::time_point when, AsciicastEvent kind, std::string_view text,
              std::string& lines);
  // Appends a size change.
  void AppendResize(Clock::time_point when, uint16_t columns, uint16_t rows, std::string& lines);

 private:
  const Clock::time_point m_start;
  uint64_t m_last_microseconds = 0;
};
