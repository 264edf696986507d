// SPDX-License-Identifier: MIT
// SharedSession: the program's window size follows the terminal that was active last among those
// that have a size (WindowSizeChoice), each change said on stderr and to the consumers.
#include <utility>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "serial_console.h"
#include "session.h"
#include "string_operations.h"

void SharedSession::SetWindowSize(WindowSize size) {
  m_child.SetWindowSize(size);
  m_serial_window_size = size;
  m_window_size = size;
}

// The serial console has the session's first size; a network terminal has none until it tells
// one, and a viewer never has one.
void SharedSession::WindowSizeArrived(const Terminal& terminal) {
  if (terminal.IsViewer()) return;
  std::optional<WindowSize> size;
  if (terminal.IsSerialConsole()) size = m_serial_window_size;
  ApplyWindowSize(m_window_sizes.Arrived(terminal.Number(), size));
}

void SharedSession::WindowSizeLeft(const Terminal& terminal) {
  if (!terminal.IsViewer()) ApplyWindowSize(m_window_sizes.Left(terminal.Number()));
}

// What the terminal did in the pass just served: the last size it told, and its keys.
void SharedSession::FollowWindowSize(Terminal& terminal) {
  const Terminal::Activity activity = terminal.TakeActivity();
  std::optional<WindowSize> change;
  if (activity.told_size) change = m_window_sizes.Resized(terminal.Number(), *activity.told_size);
  if (activity.typed) {
    if (const auto typed = m_window_sizes.Typed(terminal.Number())) change = typed;
  }
  ApplyWindowSize(change);
}

// A size other than the one the program's terminal has: set, said on stderr and to the
// consumers, with the terminal whose size it is.
void SharedSession::ApplyWindowSize(std::optional<WindowSize> change) {
  if (!change || *change == m_window_size) return;
  m_window_size = *change;
  try {
    m_child.SetWindowSize(*change);
  } catch (const ErrnoException& error) {
    SafeFprintf(stderr, "ttyweave: Window size not set: %s\n", error.what());
  }
  const unsigned from = m_window_sizes.InForceFrom();
  SessionEvent event{
      SessionEvent::Kind::kWindowSize,
      strprintf("Window %ux%u from terminal %u", change->columns, change->rows, from)};
  event.window_size = *change;
  event.from_serial_console = from == SerialConsole::kNumber;
  for (size_t i = 0; i < m_terminal_count; ++i)
    if (m_terminals[i]->Number() == from) event.uid = m_terminals[i]->GetPeer().uid;
  SafeFprintf(stderr, "ttyweave: %s\n", event.text.c_str());
  Publish(std::move(event));
}
