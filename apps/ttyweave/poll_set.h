// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>

#include <cstddef>

#include "assertion_report.h"

// Something the loop polls: what poll returned for it in this pass (0 when it sat out).
class PollSource {
 public:
  short Returned() const { return m_returned; }

 protected:
  ~PollSource() = default;

 private:
  friend class PollSet;
  short m_returned = 0;
};

// The descriptors one pass of the loop waits for, gathered anew each pass from the sources that
// want something: only descriptors that are waited for are in it. A fixed array: no allocation.
class PollSet {
 public:
  static constexpr size_t kCapacity = 16;

  void Clear() { m_count = 0; }
  // `source` waits for `events` on `fd` in this pass, or sits out (`in_poll` false); either way
  // what it last heard is forgotten.
  void Join(PollSource& source, bool in_poll, int fd, short events) {
    source.m_returned = 0;
    if (!in_poll) return;
    PLINTH_CHECK(m_count < kCapacity);
    m_fds[m_count] = {fd, events, 0};
    m_sources[m_count++] = &source;
  }
  // One poll call; each source that joined is told what it returned. Returns what poll returns.
  int Wait(int timeout_ms) {
    const int ready = poll(m_fds, m_count, timeout_ms);
    for (size_t i = 0; ready > 0 && i < m_count; ++i) m_sources[i]->m_returned = m_fds[i].revents;
    return ready;
  }

 private:
  pollfd m_fds[kCapacity];
  PollSource* m_sources[kCapacity];
  size_t m_count = 0;
};
