// SPDX-License-Identifier: MIT
#include "window_size_choice.h"

#include "assertion_report.h"

std::optional<WindowSize> WindowSizeChoice::Arrived(TerminalId id, std::optional<WindowSize> size) {
  PLINTH_CHECK(m_count < kMaxTerminals);
  for (size_t i = 0; i < m_count; ++i) PLINTH_CHECK(m_terminals[i].id != id);
  m_terminals[m_count++] = Terminal{id, size};
  return Choose();
}

std::optional<WindowSize> WindowSizeChoice::Typed(TerminalId id) {
  MoveToMostRecent(IndexOf(id));
  return Choose();
}

std::optional<WindowSize> WindowSizeChoice::Resized(TerminalId id, WindowSize size) {
  const size_t index = IndexOf(id);
  m_terminals[index].size = size;
  MoveToMostRecent(index);
  return Choose();
}

std::optional<WindowSize> WindowSizeChoice::Left(TerminalId id) {
  MoveToMostRecent(IndexOf(id));
  --m_count;
  return Choose();
}

size_t WindowSizeChoice::IndexOf(TerminalId id) const {
  size_t index = 0;
  while (index < m_count && m_terminals[index].id != id) ++index;
  PLINTH_CHECK(index < m_count);
  return index;
}

void WindowSizeChoice::MoveToMostRecent(size_t index) {
  const Terminal moved = m_terminals[index];
  for (size_t i = index + 1; i < m_count; ++i) m_terminals[i - 1] = m_terminals[i];
  m_terminals[m_count - 1] = moved;
}

std::optional<WindowSize> WindowSizeChoice::Choose() {
  for (size_t i = m_count; i-- > 0;) {
    const std::optional<WindowSize>& size = m_terminals[i].size;
    if (!size) continue;
    if (m_in_force == size) return std::nullopt;
    m_in_force = size;
    m_in_force_from = m_terminals[i].id;
    return size;
  }
  return std::nullopt;  // no terminal with a size: the size stays
}
