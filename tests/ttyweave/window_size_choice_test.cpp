// SPDX-License-Identifier: MIT
// Which terminal's size is in force, through arrivals, keys, resizes and departures.
#include "window_size_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

enum class Event { kArrived, kTyped, kResized, kLeft };

struct Step {
  Event event;
  WindowSizeChoice::TerminalId id;
  std::optional<WindowSize> size;     // the terminal's, for kArrived and kResized
  std::optional<WindowSize> changed;  // what the event must return
};

const std::optional<WindowSize> kNone;
constexpr WindowSize kSmall{80, 24};
constexpr WindowSize kLarge{200, 60};
constexpr WindowSize kWide{300, 20};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

const Scenario kScenarios[] = {
    {"two sized clients: the one that typed last wins",
     {{Event::kArrived, 1, kSmall, kSmall},
      {Event::kArrived, 2, kLarge, kLarge},
      {Event::kTyped, 1, kNone, kSmall},
      {Event::kTyped, 1, kNone, kNone},
      {Event::kTyped, 2, kNone, kLarge}}},
    {"a viewer arrives and types: no change",
     {{Event::kArrived, 0, kSmall, kSmall},
      {Event::kArrived, 5, kNone, kNone},
      {Event::kTyped, 5, kNone, kNone},
      {Event::kLeft, 5, kNone, kNone}}},
    {"the sizer leaves: the most recently active other applies; none left: it stays",
     {{Event::kArrived, 1, kSmall, kSmall},
      {Event::kArrived, 2, kLarge, kLarge},
      {Event::kArrived, 3, kWide, kWide},
      {Event::kTyped, 2, kNone, kLarge},
      {Event::kArrived, 4, kNone, kNone},
      {Event::kTyped, 1, kNone, kSmall},
      {Event::kTyped, 4, kNone, kNone},
      {Event::kLeft, 1, kNone, kLarge},
      {Event::kLeft, 3, kNone, kNone},
      {Event::kLeft, 2, kNone, kNone},
      {Event::kResized, 4, kWide, kWide}}},
    {"the same size is no change",
     {{Event::kArrived, 1, kSmall, kSmall},
      {Event::kArrived, 2, kSmall, kNone},
      {Event::kResized, 2, kSmall, kNone},
      {Event::kResized, 1, kLarge, kLarge},
      {Event::kTyped, 2, kNone, kSmall},
      {Event::kLeft, 1, kNone, kNone}}},
};

std::optional<WindowSize> Apply(WindowSizeChoice& choice, const Step& step) {
  switch (step.event) {
    case Event::kArrived:
      return choice.Arrived(step.id, step.size);
    case Event::kTyped:
      return choice.Typed(step.id);
    case Event::kResized:
      return choice.Resized(step.id, *step.size);
    case Event::kLeft:
      return choice.Left(step.id);
  }
  return kNone;
}

TEST(WindowSizeChoice, EachEventChangesTheSizeInForceOrNot) {
  for (const Scenario& scenario : kScenarios) {
    WindowSizeChoice choice;
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      const std::optional<WindowSize> changed = Apply(choice, scenario.steps[i]);
      EXPECT_EQ(changed, scenario.steps[i].changed) << scenario.name << ", step " << i;
      if (changed) {
        EXPECT_EQ(choice.InForce(), changed) << scenario.name << ", step " << i;
      }
    }
  }
}

}  // namespace
