// SPDX-License-Identifier: MIT
#include "asciicast.h"

#include <algorithm>
#include <cstdio>

#include "utf8_text.h"

namespace {

constexpr uint64_t kMicrosecondsPerSecond = 1000000;

void AppendEscaped(unsigned char character, std::string& json) {
  // The characters JSON has a two-character escape for, and the letters of those escapes.
  static constexpr std::string_view kShortEscaped = "\"\\\b\f\n\r\t";
  static constexpr std::string_view kShortLetters = "\"\\bfnrt";
  static constexpr char kHexDigits[] = "0123456789abcdef";
  const size_t short_form = kShortEscaped.find(static_cast<char>(character));
  if (short_form != std::string_view::npos) {
    json += '\\';
    json += kShortLetters[short_form];
    return;
  }
  json += "\\u00";
  json += kHexDigits[character >> 4];
  json += kHexDigits[character & 0xF];
}

// A header's text comes from the command line and the environment: any bytes.
void AppendRepairedJsonString(const std::string& bytes, std::string& json) {
  Utf8Text utf8;
  std::string text;
  utf8.Append(bytes.data(), bytes.size(), text);
  utf8.Flush(text);
  AppendJsonString(text, json);
}

}  // namespace

void AppendJsonString(std::string_view text, std::string& json) {
  json += '"';
  size_t run = 0;  // the first character not yet appended
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char character = text[i];
    if (character >= 0x20 && character != '"' && character != '\\') continue;
    json.append(text.substr(run, i - run));
    AppendEscaped(character, json);
    run = i + 1;
  }
  json.append(text.substr(run));
  json += '"';
}

std::string AsciicastHeader(const AsciicastStart& start) {
  std::string header = "{\"version\": 2, \"width\": " + std::to_string(start.width) +
                       ", \"height\": " + std::to_string(start.height) +
                       ", \"timestamp\": " + std::to_string(start.timestamp) + ", \"command\": ";
  AppendRepairedJsonString(start.command, header);
  if (!start.term.empty()) {
    header += ", \"env\": {\"TERM\": ";
    AppendRepairedJsonString(start.term, header);
    header += '}';
  }
  header += "}\n";
  return header;
}

void AsciicastEvents::Append(Clock::time_point when, AsciicastEvent kind, std::string_view text,
                             std::string& lines) {
  const auto since_start = std::chrono::duration_cast<std::chrono::microseconds>(when - m_start);
  m_last_microseconds =
      std::max<uint64_t>(m_last_microseconds, std::max<int64_t>(since_start.count(), 0));
  // Whole seconds and six digits from the count itself: no rounding through a double.
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "[%llu.%06llu, \"%c\", ",
                static_cast<unsigned long long>(m_last_microseconds / kMicrosecondsPerSecond),
                static_cast<unsigned long long>(m_last_microseconds % kMicrosecondsPerSecond),
                static_cast<char>(kind));
  lines += stamp;
  AppendJsonString(text, lines);
  lines += "]\n";
}

void AsciicastEvents::AppendResize(Clock::time_point when, uint16_t columns, uint16_t rows,
                                   std::string& lines) {
  Append(when, AsciicastEvent::kResize, std::to_string(columns) + "x" + std::to_string(rows),
         lines);
}
