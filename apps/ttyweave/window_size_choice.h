// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "window_size_protocol.h"

// Which terminal's window size the program's terminal follows: that of the terminal that most
// recently arrived, typed or changed size, among those that have a size (a sized client, the
// serial console). A terminal without a size (a viewer, a read-only client) never changes it;
// when no terminal with a size is left, the size stays as it was. Each event returns the new
// size in force when it changes, nothing otherwise (the same size again is no change). No
// allocation.
class WindowSizeChoice {
 public:
  // The serial console and seven network terminals.
  static constexpr size_t kMaxTerminals = 8;
  // Stays a terminal's own as long as the terminal is there.
  using TerminalId = uint32_t;

  // `id` must not be here already, and fewer than kMaxTerminals may be.
  std::optional<WindowSize> Arrived(TerminalId id, std::optional<WindowSize> size);
  std::optional<WindowSize> Typed(TerminalId id);
  // The terminal has this size from now on, whether it had one before or not.
  std::optional<WindowSize> Resized(TerminalId id, WindowSize size);
  std::optional<WindowSize> Left(TerminalId id);

  // None until a terminal with a size has arrived.
  std::optional<WindowSize> InForce() const { return m_in_force; }
  // The terminal whose size it is, as of the last change.
  TerminalId InForceFrom() const { return m_in_force_from; }

 private:
  struct Terminal {
    TerminalId id;
    std::optional<WindowSize> size;
  };

  size_t IndexOf(TerminalId id) const;
  void MoveToMostRecent(size_t index);
  std::optional<WindowSize> Choose();

  // Least recently active first.
  Terminal m_terminals[kMaxTerminals] = {};
  size_t m_count = 0;
  std::optional<WindowSize> m_in_force;
  TerminalId m_in_force_from = 0;
};
