// SPDX-License-Identifier: MIT
#include "terminal_mark_limit.h"

#include "string_operations.h"

bool TerminalMarkLimit::Allow(uid_t uid, Clock::time_point now) {
  const auto [found, added] = m_windows.try_emplace(uid);
  Window& window = found->second;
  if (added) window.start = now;
  if (window.marked < kMarksPerWindow) {
    ++window.marked;
    return true;
  }
  ++window.left_out;
  return false;
}

std::vector<std::string> TerminalMarkLimit::TakeSummaries(Clock::time_point now, bool all) {
  std::vector<std::string> summaries;
  for (auto it = m_windows.begin(); it != m_windows.end();) {
    const Window& window = it->second;
    if (!all && now - window.start < kWindow) {
      ++it;
      continue;
    }
    if (window.left_out > 0)
      summaries.push_back(strprintf("uid %u: %zu %s not marked", static_cast<unsigned>(it->first),
                                    window.left_out, m_marks));
    it = m_windows.erase(it);
  }
  return summaries;
}
