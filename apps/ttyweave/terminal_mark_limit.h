// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// How many arrival, departure and refusal marks of one uid reach the console log: at most
// kMarksPerWindow in each kWindow, so that visitors coming and going cannot push the session's
// own output out of a log of bounded size. The marks left out are counted, and said in one mark
// once the window is over. Another kind of marks (a terminal's window sizes) has a limit of its
// own, which names them.
class TerminalMarkLimit {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMarksPerWindow = 10;
  static constexpr Clock::duration kWindow = std::chrono::minutes(1);

  // `marks` names them in the summary.
  explicit TerminalMarkLimit(const char* marks = "arrivals and departures") : m_marks(marks) {}

  // Whether a mark of `uid` may be written at `now`; one that may not is counted as left out.
  bool Allow(uid_t uid, Clock::time_point now);
  // For each uid whose window is over at `now` (every uid with `all`) and that had marks left
  // out, the mark that says how many; those uids start afresh.
  std::vector<std::string> TakeSummaries(Clock::time_point now, bool all = false);

 private:
  struct Window {
    Clock::time_point start;
    size_t marked = 0;
    size_t left_out = 0;
  };
  const char* m_marks;
  std::map<uid_t, Window> m_windows;
};
