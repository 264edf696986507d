// SPDX-License-Identifier: MIT
// Kernel log records into relayed lines: the format, the level, and the ways a record can be
// malformed.
#include "kmsg_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* record;
  uint32_t level;
  std::string line;
};

const std::string kBadNumber =
    "ERROR parsing kmsg: bad lexical cast: source type value could not be interpreted as target";
const std::string kFormatError = "ERROR parsing kmsg: kmsg format error";

const Case kCases[] = {
    {"6,1234,5000000,-;hello\n", 7, "{    5.000} hello\r\n"},
    {"6,1234,5000000,-;hello\n", 6, ""},  // severity not below the level
    {"0,1,1000,-;emergency\n", 1, "{    0.001} emergency\r\n"},
    {"0,1,1000,-;emergency\n", 0, ""},
    {"14,1,999,-;facility one, severity six\n", 7, "{    0.000} facility one, severity six\r\n"},
    {"-1,2,1000000,-;minus one is severity 7\n", 7, ""},
    {"-1,2,1000000,-;minus one is severity 7\n", 4294967295, "{    1.000} minus one is severity 7\r\n"},
    {"+6,3,1999999,-;truncated, not rounded\n", 7, "{    1.999} truncated, not rounded\r\n"},
    {"6,4,123456789012,-;long uptime\n", 7, "{123456.789} long uptime\r\n"},
    {"6,5,3000000,-;first line\n SUBSYSTEM=usb\n DEVICE=c189:1\n", 7, "{    3.000} first line\r\n"},
    {"6,6,4000000,-;\n", 7, "{    4.000} \r\n"},
    {"6,,7,,6000000,-;doubled commas\n", 7, "{    6.000} doubled commas\r\n"},
    {",6,8,7000000,-,;edge commas\n", 7, "{    7.000} edge commas\r\n"},
    {"6,9,8000000,-,caller=T1;a;b,c\\x0a 100% %s %n\n", 7, "{    8.000} a;b,c\\x0a 100% %s %n\r\n"},
    {"6,10,8000000;three fields\n", 7, kFormatError},
    {";no prefix\n", 0, kFormatError},
    {"6,11,12x,-;timestamp not a number\n", 7, kBadNumber},
    {"6, 12,1,-;blank in a field\n", 7, kBadNumber},
    {"6,13,18446744073709551616,-;timestamp too large\n", 7, kBadNumber},
    {"4294967296,14,1,-;priority too large\n", 8, kBadNumber},
    {"7,zz,1,-;below the level, later fields unexamined\n", 7, ""},
    {"6,zz,1,-;sequence not a number\n", 7, kBadNumber},
    {"6,15,9000000,-\n", 7, "ERROR parsing kmsg: Failed to find semicolon in kmsg"},
    {"6,16,9000000,-\n;semicolon after the line\n", 7, "ERROR parsing kmsg: Failed to find semicolon in kmsg"},
    {"6,17,10000000,-;no end of line", 7, "ERROR parsing kmsg: Failed to find EOL in kmsg"},
};

TEST(KmsgRecord, EachRecordGivesItsLineOrNothing) {
  for (const Case& c : kCases) EXPECT_EQ(FormatKmsgRecord(c.record, c.level), c.line) << c.record;
}

TEST(KmsgRecord, ALineLongerThan4000CharactersIsCutWithThreeDots) {
  const std::string record = "6,1,5000000,-;" + std::string(5000, 'x') + "\n";
  EXPECT_EQ(FormatKmsgRecord(record.c_str(), 7), "{    5.000} " + std::string(3985, 'x') + "...");
}

}  // namespace
