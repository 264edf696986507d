// SPDX-License-Identifier: MIT
// Output bytes in chunks into UTF-8 text: characters cut by a chunk's end are held back whole,
// and each maximal invalid subpart becomes one U+FFFD.
#include "utf8_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

#define CHECK_MARK "\xE2\x9C\x93"  // U+2713
#define SMILE "\xF0\x9F\x98\x80"   // U+1F600
#define REPLACED "\xEF\xBF\xBD"    // U+FFFD

struct Case {
  std::vector<std::pair<std::string, std::string>> chunks;  // each chunk and the text it gives
  std::string flushed;
};

const Case kCases[] = {
    {{{"a\xE2", "a"}, {"\x9C\x93z", CHECK_MARK "z"}}, ""},
    {{{"\xE2", ""}, {"\x9C", ""}, {"\x93", CHECK_MARK}}, ""},
    {{{"\xF0", ""}, {"\x9F", ""}, {"\x98", ""}, {"\x80", SMILE}}, ""},
    {{{"a\xC3\xA9" CHECK_MARK SMILE "\x7F", "a\xC3\xA9" CHECK_MARK SMILE "\x7F"}}, ""},
    {{{"\x80 \xF5\xFF", REPLACED " " REPLACED REPLACED}}, ""},          // not a lead byte
    {{{"\xC0\xAF\xC1\xBF", REPLACED REPLACED REPLACED REPLACED}}, ""},  // overlong, two bytes
    {{{"\xE0\x80\xAF", REPLACED REPLACED REPLACED}}, ""},               // overlong, three bytes
    {{{"\xED\xA0\x80", REPLACED REPLACED REPLACED}}, ""},               // surrogate
    {{{"\xF4\x90\x80\x80", REPLACED REPLACED REPLACED REPLACED}}, ""},  // past U+10FFFF
    {{{"\xE2\x9C+\xF0\x9F\x98" CHECK_MARK, REPLACED "+" REPLACED CHECK_MARK}}, ""},  // cut short
    {{{"\xE2\x9C", ""}, {"A", REPLACED "A"}}, ""},
    {{{"\xE0", ""}, {"\x80", REPLACED REPLACED}}, ""},
    {{{"\xF0\x9F", ""}, {"\x98\xE2", REPLACED}, {"\x9C\x93", CHECK_MARK}}, ""},
    {{{"x\xF0\x9F", "x"}}, REPLACED},
};

TEST(Utf8Text, ChunksGiveWholeValidCharacters) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.chunks));
    Utf8Text utf8;
    for (const auto& [chunk, expected] : c.chunks) {
      std::string text;
      utf8.Append(chunk.data(), chunk.size(), text);
      EXPECT_EQ(text, expected);
    }
    std::string text;
    utf8.Flush(text);
    EXPECT_EQ(text, c.flushed);
  }
}

}  // namespace
