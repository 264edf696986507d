#include "safe_fprintf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Runs `print` against a temporary stream and returns what reached it.
template <typename Print>
std::string Captured(Print print, int* result) {
  std::FILE* stream = std::tmpfile();
  *result = print(stream);
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(stream);
  return text;
}

}  // namespace

TEST(SafeFprintf, PrintsTheMessageAndReturnsItsLength) {
  int result = 0;
  const std::string text = Captured(
      [](std::FILE* s) { return SafeFprintf(s, "ttyweave: Terminal %u is %s\n", 3u, "blocked"); },
      &result);
  EXPECT_EQ(text, "ttyweave: Terminal 3 is blocked\n");
  EXPECT_EQ(result, static_cast<int>(text.size()));
}

TEST(SafeFprintf, MessagesLongerThanTheInlineBufferArriveWhole) {
  const std::string long_text(2000, 'k');
  int result = 0;
  const std::string text =
      Captured([&](std::FILE* s) { return SafeFprintf(s, "%s\n", long_text.c_str()); }, &result);
  EXPECT_EQ(text, long_text + "\n");
  EXPECT_EQ(result, 2001);
}

TEST(SafeFprintf, AMismatchedArgumentPrintsTheFallbackLine) {
  int result = 0;
  const std::string text =
      Captured([](std::FILE* s) { return SafeFprintf(s, "count %d\n", "text"); }, &result);
  EXPECT_EQ(text, "Message 'count %d\n' threw 'invalid type specifier'\n");
  EXPECT_EQ(result, static_cast<int>(text.size()));
}

TEST(SafeFprintf, AMalformedFormatPrintsTheFallbackLine) {
  int result = 0;
  const std::string text =
      Captured([](std::FILE* s) { return SafeFprintf(s, "%s %s", "one"); }, &result);
  EXPECT_EQ(text.rfind("Message '%s %s' threw '", 0), 0u) << text;
}

TEST(SafeFprintf, ReportsAFailedWrite) {
  std::FILE* read_only = std::fopen("/dev/null", "r");
  ASSERT_NE(read_only, nullptr);
  EXPECT_EQ(SafeFprintf(read_only, "lost\n"), -1);
  std::fclose(read_only);
}
