#include "string_operations.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Expand(std::size_t length) { return strprintf("%s", std::string(length, 'x').c_str()); }

}  // namespace

TEST(Strprintf, FormatsLikePrintf) {
  EXPECT_EQ(strprintf("{%5lu.%03lu} %s\r\n", 5ul, 7ul, "hello"), "{    5.007} hello\r\n");
  EXPECT_EQ(strprintf("%s", ""), "");
}

// Around the 256-byte stack buffer: no character lost or added on either side.
TEST(Strprintf, KeepsTextsAroundTheStackBufferSize) {
  for (std::size_t length : {254u, 255u, 256u, 257u}) {
    EXPECT_EQ(Expand(length), std::string(length, 'x')) << length;
  }
}

TEST(Strprintf, KeepsUpTo4000CharactersWhole) {
  EXPECT_EQ(Expand(3999), std::string(3999, 'x'));
  EXPECT_EQ(Expand(4000), std::string(4000, 'x'));
}

TEST(Strprintf, CutsLongerTextsTo4000EndingInDots) {
  for (std::size_t length : {4001u, 5000u}) {
    const std::string result = Expand(length);
    ASSERT_EQ(result.size(), 4000u) << length;
    EXPECT_EQ(result, std::string(3997, 'x') + "...") << length;
  }
}

TEST(Strprintf, CutsAtTheFormattedLengthNotTheFormatLength) {
  const std::string result = strprintf("ab%scd", std::string(4100, 'y').c_str());
  ASSERT_EQ(result.size(), 4000u);
  EXPECT_EQ(result.substr(0, 3), "aby");
  EXPECT_EQ(result.substr(3994), "yyy...");
}
