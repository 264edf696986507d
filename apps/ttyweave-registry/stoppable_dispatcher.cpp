// SPDX-License-Identifier: MIT
#include "stoppable_dispatcher.h"

#include <unistd.h>

void StoppableDispatcher::enter() {
  while (!m_stop.load()) do_iteration();
}

void StoppableDispatcher::RequestStop() noexcept {
  m_stop.store(true);
  // Wakes the loop's poll, which always watches this pipe. It is never drained: once stopped
  // the loop does not wait again.
  const char wake = 0;
  [[maybe_unused]] const ssize_t ignored = write(_fdunlock[1], &wake, 1);
}
