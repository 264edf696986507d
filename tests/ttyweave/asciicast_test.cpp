// SPDX-License-Identifier: MIT
// The recording's lines: exact text, and read back by a strict JSON parser.
#include "asciicast.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using std::chrono::microseconds;

TEST(JsonString, EveryControlCharacterIsEscapedAndReadsBack) {
  for (int character = 0; character < 0x80; ++character) {
    const std::string text = std::string("a") + static_cast<char>(character) + "\xE2\x9C\x93";
    std::string json;
    AppendJsonString(text, json);
    for (const char byte : json) EXPECT_GE(static_cast<unsigned char>(byte), 0x20) << character;
    EXPECT_EQ(nlohmann::json::parse(json), text) << character;
  }
  std::string json;
  AppendJsonString("\x1B[0m\"\\\x7F\r\n\t\b\f\x01", json);
  EXPECT_EQ(json, R"("\u001b[0m\"\\)"
                  "\x7F"
                  R"(\r\n\t\b\f\u0001")");
}

struct Event {
  int64_t microseconds;  // since the start
  AsciicastEvent kind;
  const char* text;
  const char* line;
};

const Event kEvents[] = {
    {-5, AsciicastEvent::kMarker, "before the start", R"([0.000000, "m", "before the start"])"},
    {1, AsciicastEvent::kOutput, "$ ", R"([0.000001, "o", "$ "])"},
    {12345678, AsciicastEvent::kOutput, "ok\r\n", R"([12.345678, "o", "ok\r\n"])"},
    {12000000, AsciicastEvent::kMarker, "late reading", R"([12.345678, "m", "late reading"])"},
    {13000000, AsciicastEvent::kResize, "132x43", R"([13.000000, "r", "132x43"])"},
    {100000999999, AsciicastEvent::kOutput, "\"", R"([100000.999999, "o", "\""])"},
};

TEST(AsciicastEvents, StampsAreMicrosecondsSinceTheStartNeverGoingBack) {
  const AsciicastEvents::Clock::time_point start{std::chrono::hours(1000)};
  AsciicastEvents events(start);
  for (const Event& event : kEvents) {
    std::string line;
    events.Append(start + microseconds(event.microseconds), event.kind, event.text, line);
    EXPECT_EQ(line, std::string(event.line) + "\n");
    EXPECT_EQ(nlohmann::json::parse(line)[2], event.text) << line;
  }
  std::string line;
  events.AppendResize(start, 80, 24, line);
  EXPECT_EQ(line, "[100000.999999, \"r\", \"80x24\"]\n");
}

TEST(AsciicastHeader, SaysTheSizeTimeCommandAndTerm) {
  const std::string command = "/bin/sh -c 'printf \"\\033\"' \xFF";
  const std::string line = AsciicastHeader({132, 43, 1767225600, command, "xterm-256color"});
  EXPECT_EQ(line, R"({"version": 2, "width": 132, "height": 43, "timestamp": 1767225600, )"
                  R"("command": "/bin/sh -c 'printf \"\\033\"' )"
                  "\xEF\xBF\xBD"
                  R"(", "env": {"TERM": "xterm-256color"}})"
                  "\n");
  EXPECT_EQ(nlohmann::json::parse(line)["command"], "/bin/sh -c 'printf \"\\033\"' \xEF\xBF\xBD");
  EXPECT_EQ(AsciicastHeader({80, 24, 0, "top", ""}),
            R"({"version": 2, "width": 80, "height": 24, "timestamp": 0, "command": "top"})"
            "\n");
}

}  // namespace
