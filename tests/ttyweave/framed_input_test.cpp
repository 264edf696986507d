// SPDX-License-Identifier: MIT
// Framed streams cut at every point come out as the same keys and sizes in the same order; the
// encoders write the bytes these streams are made of.
#include "framed_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// Every byte value, and the keys records that carry them (255, then the last one).
std::string AllKeys() {
  std::string keys;
  for (int value = 0; value < 256; ++value) keys += static_cast<char>(value);
  return keys;
}
const std::string kAllKeysRecords = "\x00\xff"s + AllKeys().substr(0, 255) + "\x00\x01\xff"s;
const std::string kHello80x24 = "\x01\x00\x50\x00\x18"s;

struct Case {
  std::string stream;
  // Runs of keys as "k<keys>", sizes as "<columns>x<rows>", a protocol error as "error".
  std::vector<std::string> pieces;
};

const Case kCases[] = {
    {kHello80x24 + kAllKeysRecords + "\x01\x03\xe8\x00\x01"s  // 1000x1: the largest width
         + "\x01\x03\xe9\x00\x18\x01\x00\x00\x00\x18"s        // 1001x24, 0x24: ignored
         + "\x02\x00\x02xy\x01\x00\x84\x00\x32"s,             // no size later: ignored
     {"80x24", "k" + AllKeys(), "1000x1", "kxy", "132x50"}},
    {"\x02\x00\x01x"s, {"kx"}},
    {"\x01\x00\x00\x00\x00\x00\x01y"s, {"ky"}},  // a hello out of range: no size
    {"\x03"s, {"error"}},
    {"\x00\x01x"s, {"error"}},  // keys before the hello
    {"\x02\x00\x00"s, {"error"}},
    {"\x02\x00\x01x\xff\x00\x01y"s, {"kx", "error"}},
    {kHello80x24 + "\x7f"s, {"80x24", "error"}},
};

// What the decoder makes of `stream` read in pieces ending at `cuts` and at the end.
std::vector<std::string> Decode(const std::string& stream, std::vector<size_t> cuts) {
  FramedInput decoder;
  std::vector<std::string> pieces;
  cuts.push_back(stream.size());
  size_t start = 0;
  for (const size_t end : cuts) {
    decoder.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + start, end - start);
    start = end;
    for (auto piece = decoder.Next(); piece.kind != FramedInput::Kind::kNeedMore;
         piece = decoder.Next()) {
      if (piece.kind == FramedInput::Kind::kError) {
        pieces.push_back("error");
        return pieces;
      }
      if (piece.kind == FramedInput::Kind::kSize) {
        pieces.push_back(std::to_string(piece.size.columns) + "x" +
                         std::to_string(piece.size.rows));
        continue;
      }
      const std::string keys(reinterpret_cast<const char*>(piece.keys), piece.count);
      if (pieces.empty() || pieces.back()[0] != 'k') pieces.push_back("k");
      pieces.back() += keys;
    }
  }
  return pieces;
}

TEST(FramedInput, EveryCutGivesTheSameKeysAndSizesInOrder) {
  for (const Case& c : kCases) {
    std::vector<size_t> every_byte;
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
      EXPECT_EQ(Decode(c.stream, {cut}), c.pieces) << "cut at " << cut << " of " << c.stream;
      every_byte.push_back(cut);
    }
    EXPECT_EQ(Decode(c.stream, every_byte), c.pieces) << "byte by byte: " << c.stream;
  }
}

TEST(FramedInput, EncodersWriteTheRecords) {
  uint8_t record[kMaxKeysRecordLength];
  std::string stream(record, record + EncodeSizeRecord({80, 24}, record));
  const std::string keys = AllKeys();
  size_t sent = 0;
  while (const size_t length = EncodeKeysRecord(
             reinterpret_cast<const uint8_t*>(keys.data()) + sent, keys.size() - sent, record)) {
    stream.append(record, record + length);
    sent += length - kKeysRecordHeaderLength;
  }
  EXPECT_EQ(stream, kHello80x24 + kAllKeysRecords);
  EXPECT_EQ(std::string(record, record + EncodeNoSizeRecord(record)), "\x02");
}

}  // namespace
