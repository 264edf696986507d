// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Turns the program's output, read in chunks of any size, into valid UTF-8 text. Each maximal
// subpart of an invalid sequence (as Unicode recommends, and as Python's "replace" does) becomes
// one U+FFFD. A character cut off at the end of a chunk is held back until the next chunk, so
// that no character is ever split between two pieces of text. Valid runs are appended at once.
class Utf8Text {
 public:
  // Appends the valid text of `count` more bytes to `text`.
  void Append(const void* data, size_t count, std::string& text);
  // Ends the text: a character still held back is unfinished and becomes U+FFFD.
  void Flush(std::string& text);

 private:
  // Takes bytes into the held-back character while they fit it; returns how many it took.
  size_t Finish(const uint8_t* data, size_t count, std::string& text);

  uint8_t m_held[4] = {};
  size_t m_held_count = 0;  // 0: no character held back
};
