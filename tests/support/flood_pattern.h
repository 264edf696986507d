#pragma once

// The byte stream of the flood program (tests/bench/flood_program.cpp), which throughput
// benchmarks run and check byte for byte. Every aligned 8-byte word of it is different, so a
// lost, repeated or misplaced piece shows; checking it costs about one multiplication per word,
// so that a benchmark that reads seven copies at once is not held up by its own checking.

#include <cstddef>
#include <cstdint>
#include <optional>

// What the flood program says and waits for around the pattern (its terminal is raw: the
// newline ends a line).
constexpr char kFloodReadyLine[] = "ready\n";  // written first
constexpr char kFloodGoLine[] = "go\n";        // any line: the pattern follows
constexpr char kFloodDoneLine[] = "done\n";    // any line after the pattern: the program exits 0

// Writes bytes [position, position + length) of the pattern to `out`.
void FillFloodPattern(uint64_t position, uint8_t* out, size_t length);

// Checks a stream that should be exactly the first `expected_bytes` bytes of the pattern, piece
// by piece as it arrives, keeping nothing of it.
class FloodPatternChecker {
 public:
  explicit FloodPatternChecker(uint64_t expected_bytes) : m_expected(expected_bytes) {}

  // The next `length` bytes of the stream.
  void Take(const uint8_t* data, size_t length);

  uint64_t Received() const { return m_received; }
  bool Complete() const { return m_received >= m_expected; }
  // The offset of the first byte that differs from the pattern or lies beyond the expected end.
  std::optional<uint64_t> FirstMismatch() const { return m_first_mismatch; }
  // Every expected byte arrived, each the right one, and nothing more.
  bool Intact() const { return m_received == m_expected && !m_first_mismatch; }

 private:
  std::optional<uint64_t> FindMismatch(const uint8_t* data, size_t length) const;

  uint64_t m_expected;
  uint64_t m_received = 0;
  std::optional<uint64_t> m_first_mismatch;
};
