// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>

#include "terminal_socket.h"

// Keeps the daemon's refusal off standard output. A refused connection receives the refusal
// text as its only bytes, then end of file; an accepted one receives the session's history.
// So the first bytes are held back only while everything received still spells the start of
// the refusal: ordinary history differs within a byte or two and passes at once.
class RefusalFilter {
 public:
  static constexpr std::string_view kRefusal = kTooManyTerminals;

  // Whether bytes are still being held back.
  bool IsHolding() const { return m_holding; }
  // Takes the next bytes received while holding. Returns true when they are held back too;
  // false when the stream can no longer be the refusal, and then holding stops: write
  // Held() and then `bytes`.
  bool Hold(std::string_view bytes);
  // The bytes held back so far, the start of the refusal text.
  std::string_view Held() const { return kRefusal.substr(0, m_held); }
  // At end of file: whether what was received is the refusal, whole.
  bool IsRefusal() const { return m_holding && m_held == kRefusal.size(); }
  // Stops holding (the wait is over); write Held() first.
  void Release() { m_holding = false; }

 private:
  bool m_holding = true;
  size_t m_held = 0;
};
