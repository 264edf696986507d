// SPDX-License-Identifier: MIT
// The recording's lines: their exact text, read back by a strict JSON parser where it matters.
#include "asciicast.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

TEST(JsonString, EveryControlCharacterIsEscapedAndReadsBack) {
  for (int character = 0; character < 0x80; ++character) {
    const std::string text = std::string("a") + static_cast<char>(character) + "\xE2\x9C\x93";
    std::string json;
    AppendJsonString(text, json);
    for (const char byte : json) EXPECT_GE(static_cast<unsigned char>(byte), 0x20) << character;
    EXPECT_EQ(nlohmann::json::parse(json), text) << character;
  }
}

struct Event {
  int64_t microseconds;  // since the start
  AsciicastEvent kind;
  const char* text;
  const char* line;
};

const Event kEvents[] = {
    {-5, AsciicastEvent::kMarker, "early", "[0.000000, \"m\", \"early\"]\n"},
    {1, AsciicastEvent::kOutput, "$ ", "[0.000001, \"o\", \"$ \"]\n"},
    {12345678, AsciicastEvent::kOutput, "ok\r\n", "[12.345678, \"o\", \"ok\\r\\n\"]\n"},
    {12000000, AsciicastEvent::kMarker, "late", "[12.345678, \"m\", \"late\"]\n"},
    {100000999999, AsciicastEvent::kOutput, "\"", "[100000.999999, \"o\", \"\\\"\"]\n"},
};

TEST(AsciicastEvents, StampsAreMicrosecondsSinceTheStartNeverGoingBack) {
  const AsciicastEvents::Clock::time_point start{std::chrono::hours(1000)};
  AsciicastEvents events(start);
  for (const Event& event : kEvents) {
    std::string line;
    events.Append(start + std::chrono::microseconds(event.microseconds), event.kind, event.text,
                  line);
    EXPECT_EQ(line, event.line);
  }
  std::string line;
  events.AppendResize(start, 80, 24, line);
  EXPECT_EQ(line, "[100000.999999, \"r\", \"80x24\"]\n");
}

TEST(AsciicastHeader, SaysTheSizeTimeCommandAndTerm) {
  const std::string line = AsciicastHeader({132, 43, 1767225600, "top -d \"1\" \xFF", "xterm"});
  EXPECT_EQ(line,
            "{\"version\": 2, \"width\": 132, \"height\": 43, \"timestamp\": 1767225600, "
            "\"command\": \"top -d \\\"1\\\" \xEF\xBF\xBD\", \"env\": {\"TERM\": \"xterm\"}}\n");
  EXPECT_EQ(nlohmann::json::parse(line)["env"]["TERM"], "xterm");
  EXPECT_EQ(AsciicastHeader({80, 24, 0, "top", ""}),
            "{\"version\": 2, \"width\": 80, \"height\": 24, \"timestamp\": 0, \"command\": "
            "\"top\"}\n");
}

}  // namespace
