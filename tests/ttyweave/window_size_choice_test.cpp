// SPDX-License-Identifier: MIT
// Which terminal's size is in force, through arrivals, keys, resizes and departures.
#include "window_size_choice.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

using Size = std::optional<WindowSize>;

// Steps separated by blanks, each "<event><id>[=<size>]><changed>": event 'a' arrived (with that
// size, or none), 't' typed, 'r' resized, 'l' left; `changed` is what the event must return;
// sizes "<columns>x<rows>", "-" for none.
struct Scenario {
  const char* name;
  const char* steps;
};

const Scenario kScenarios[] = {
    {"two sized clients: the one that typed last wins",
     "a1=80x24>80x24 a2=200x60>200x60 t1>80x24 t1>- t2>200x60"},
    {"a viewer arrives and types: no change", "a0=80x24>80x24 a5>- t5>- l5>-"},
    {"the sizer leaves: the most recently active other applies; none left: it stays",
     "a1=80x24>80x24 a2=200x60>200x60 a3=300x20>300x20 t2>200x60 a4>- t1>80x24 t4>- "
     "l1>200x60 l3>- l2>- r4=300x20>300x20"},
    {"the same size is no change",
     "a1=80x24>80x24 a2=80x24>- r2=80x24>- r1=200x60>200x60 t2>80x24 l1>-"},
};

Size ParseSize(const std::string& text) {
  WindowSize size{};
  if (std::sscanf(text.c_str(), "%hux%hu", &size.columns, &size.rows) != 2) return std::nullopt;
  return size;
}

TEST(WindowSizeChoice, EachEventChangesTheSizeInForceOrNot) {
  for (const Scenario& scenario : kScenarios) {
    WindowSizeChoice choice;
    std::istringstream steps(scenario.steps);
    for (std::string step; steps >> step;) {
      const size_t arrow = step.find('>');
      const WindowSizeChoice::TerminalId id = step[1] - '0';
      const Size size = step[2] == '=' ? ParseSize(step.substr(3, arrow - 3)) : std::nullopt;
      const Size changed = step[0] == 'a'   ? choice.Arrived(id, size)
                           : step[0] == 't' ? choice.Typed(id)
                           : step[0] == 'r' ? choice.Resized(id, *size)
                                            : choice.Left(id);
      EXPECT_EQ(changed, ParseSize(step.substr(arrow + 1))) << scenario.name << ": " << step;
      if (changed) {
        EXPECT_EQ(choice.InForce(), changed) << scenario.name << ": " << step;
      }
    }
  }
}

}  // namespace
