// SPDX-License-Identifier: MIT
#include "stoppable_dispatcher.h"

#include <unistd.h>

bool StoppableDispatcher::RunWhileConnected(const DBus::Connection& connection) {
  // An iteration that reads the end of the connection marks it lost before it returns.
  while (!m_stop.load() && connection.connected()) do_iteration();
  return connection.connected();
}

void StoppableDispatcher::RequestStop() noexcept {
  m_stop.store(true);
  // Wakes the loop's poll, which always watches this pipe. It is never drained: once stopped
  // the loop does not wait again.
  const char wake = 0;
  [[maybe_unused]] const ssize_t ignored = write(_fdunlock[1], &wake, 1);
}
