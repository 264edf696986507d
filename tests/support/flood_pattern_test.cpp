// The flood pattern and its checker: benchmarks call a transfer intact on the checker's word, so
// it must catch every kind of damage a carrier of bytes can do.
#include "flood_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// Larger than a few words and a ring, not a multiple of either.
constexpr size_t kStreamBytes = 100003;

std::vector<uint8_t> Pattern(uint64_t position, size_t length) {
  std::vector<uint8_t> bytes(length);
  FillFloodPattern(position, bytes.data(), length);
  return bytes;
}

// Hands `stream` to a checker in pieces of the given sizes (repeated), as reads would.
FloodPatternChecker CheckInPieces(const std::vector<uint8_t>& stream, uint64_t expected,
                                  const std::vector<size_t>& sizes) {
  FloodPatternChecker checker(expected);
  for (size_t at = 0, piece = 0; at < stream.size(); ++piece) {
    const size_t length = std::min(sizes[piece % sizes.size()], stream.size() - at);
    checker.Take(stream.data() + at, length);
    at += length;
  }
  return checker;
}

// `stream` with `removed` bytes at `at` replaced by `inserted`.
std::vector<uint8_t> Spliced(const std::vector<uint8_t>& stream, size_t at, size_t removed,
                             const std::vector<uint8_t>& inserted) {
  std::vector<uint8_t> result(stream.begin(), stream.begin() + at);
  result.insert(result.end(), inserted.begin(), inserted.end());
  result.insert(result.end(), stream.begin() + at + removed, stream.end());
  return result;
}

const std::vector<size_t> kOddPieces = {1, 3, 7, 8, 13, 4095, 9, 65536, 2};

}  // namespace

TEST(FloodPattern, PiecesMadeFromAnyOffsetJoinIntoTheWholeStream) {
  const std::vector<uint8_t> whole = Pattern(0, kStreamBytes);
  std::vector<uint8_t> joined;
  for (size_t at = 0, piece = 0; at < kStreamBytes; ++piece) {
    const size_t length = std::min(kOddPieces[piece % kOddPieces.size()], kStreamBytes - at);
    const std::vector<uint8_t> part = Pattern(at, length);
    joined.insert(joined.end(), part.begin(), part.end());
    at += length;
  }
  EXPECT_EQ(joined, whole);
  // Every byte value occurs: nothing about the carrier's handling of particular values is missed.
  std::vector<bool> seen(256);
  for (const uint8_t byte : whole) seen[byte] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST(FloodPatternChecker, TheWholeStreamInAnyPiecesIsIntact) {
  const std::vector<uint8_t> stream = Pattern(0, kStreamBytes);
  for (const auto& sizes : std::vector<std::vector<size_t>>{{kStreamBytes}, {1}, kOddPieces}) {
    const FloodPatternChecker checker = CheckInPieces(stream, kStreamBytes, sizes);
    EXPECT_TRUE(checker.Intact());
    EXPECT_TRUE(checker.Complete());
    EXPECT_EQ(checker.Received(), kStreamBytes);
  }
}

TEST(FloodPatternChecker, AWrongByteIsReportedAtItsOffsetWhereverItLies) {
  for (const size_t offset : {size_t{0}, size_t{5}, size_t{8}, size_t{4095}, kStreamBytes - 1}) {
    std::vector<uint8_t> stream = Pattern(0, kStreamBytes);
    stream[offset] ^= 0x20;
    const FloodPatternChecker checker = CheckInPieces(stream, kStreamBytes, kOddPieces);
    EXPECT_FALSE(checker.Intact()) << offset;
    ASSERT_TRUE(checker.FirstMismatch().has_value()) << offset;
    EXPECT_EQ(*checker.FirstMismatch(), offset);
  }
}

// Lost, repeated and misplaced pieces of the sizes a session moves (a byte, a word, a ring).
TEST(FloodPatternChecker, LostRepeatedOrMisplacedPiecesShowWhereTheyBegin) {
  constexpr size_t kAt = 1000;
  // Where the first wrong byte may lie: a byte that happens to equal its replacement is fine.
  constexpr size_t kSlack = 16;
  const std::vector<uint8_t> intact = Pattern(0, kStreamBytes);
  for (const size_t size : {size_t{1}, size_t{8}, size_t{4096}}) {
    const std::vector<uint8_t> lost = Spliced(intact, kAt, size, {});
    const std::vector<uint8_t> repeated = Spliced(intact, kAt + size, 0, Pattern(kAt, size));
    // A piece from a whole number of 64 KiB further on, as a ring that wrapped wrongly would give.
    const std::vector<uint8_t> misplaced = Spliced(intact, kAt, size, Pattern(kAt + 65536, size));

    for (const auto* stream : {&lost, &repeated, &misplaced}) {
      const FloodPatternChecker checker = CheckInPieces(*stream, kStreamBytes, kOddPieces);
      EXPECT_FALSE(checker.Intact()) << size;
      ASSERT_TRUE(checker.FirstMismatch().has_value()) << size;
      const size_t begins = stream == &repeated ? kAt + size : kAt;
      EXPECT_GE(*checker.FirstMismatch(), begins) << size;
      EXPECT_LT(*checker.FirstMismatch(), begins + kSlack) << size;
    }
  }
}

TEST(FloodPatternChecker, BytesBeyondTheEndOrMissingAtTheEndAreNotIntact) {
  const std::vector<uint8_t> longer = Pattern(0, kStreamBytes + 3);
  const FloodPatternChecker too_long = CheckInPieces(longer, kStreamBytes, kOddPieces);
  EXPECT_FALSE(too_long.Intact());
  ASSERT_TRUE(too_long.FirstMismatch().has_value());
  EXPECT_EQ(*too_long.FirstMismatch(), kStreamBytes);

  const std::vector<uint8_t> shorter = Pattern(0, kStreamBytes - 1);
  const FloodPatternChecker too_short = CheckInPieces(shorter, kStreamBytes, kOddPieces);
  EXPECT_FALSE(too_short.Intact());
  EXPECT_FALSE(too_short.Complete());
  EXPECT_FALSE(too_short.FirstMismatch().has_value());
}
