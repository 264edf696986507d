#include "flood_pattern.h"

#include <endian.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kWordSize = sizeof(uint64_t);
// Odd, so that distinct word numbers give distinct products (modulo 2^64).
constexpr uint64_t kWordMultiplier = 0x9E3779B97F4A7C15ULL;

// Word `index` of the pattern. The shift folds the well-mixed high bits into the low bytes; an
// xor with a right shift keeps distinct words distinct.
uint64_t PatternWord(uint64_t index) {
  const uint64_t product = (index + 1) * kWordMultiplier;
  return product ^ (product >> 29);
}

// Byte `position` of the pattern: words are laid out least significant byte first.
uint8_t PatternByte(uint64_t position) {
  return static_cast<uint8_t>(PatternWord(position / kWordSize) >> (8 * (position % kWordSize)));
}

// The pattern word at `position` (a multiple of the word size) as it lies in memory.
uint64_t StoredPatternWord(uint64_t position) { return htole64(PatternWord(position / kWordSize)); }

// How many bytes from `position` up to the next word boundary (none when on one), at most `length`.
size_t BytesToWordBoundary(uint64_t position, size_t length) {
  return std::min(length, static_cast<size_t>((kWordSize - position % kWordSize) % kWordSize));
}

}  // namespace

void FillFloodPattern(uint64_t position, uint8_t* out, size_t length) {
  size_t i = BytesToWordBoundary(position, length);
  for (size_t k = 0; k < i; ++k) out[k] = PatternByte(position + k);
  for (; i + kWordSize <= length; i += kWordSize) {
    const uint64_t word = StoredPatternWord(position + i);
    std::memcpy(out + i, &word, kWordSize);
  }
  for (; i < length; ++i) out[i] = PatternByte(position + i);
}

void FloodPatternChecker::Take(const uint8_t* data, size_t length) {
  if (!m_first_mismatch) {
    // Bytes past the expected end are wrong whatever they hold.
    const uint64_t room = m_received < m_expected ? m_expected - m_received : 0;
    const size_t checked = static_cast<size_t>(std::min<uint64_t>(room, length));
    m_first_mismatch = FindMismatch(data, checked);
    if (!m_first_mismatch && checked < length) m_first_mismatch = m_received + checked;
  }
  m_received += length;
}

std::optional<uint64_t> FloodPatternChecker::FindMismatch(const uint8_t* data,
                                                          size_t length) const {
  const uint64_t position = m_received;
  const size_t head = BytesToWordBoundary(position, length);
  for (size_t k = 0; k < head; ++k)
    if (data[k] != PatternByte(position + k)) return position + k;
  // Whole words, compared as fast as they can be made; from the first word that differs (or the
  // last partial word) on, byte by byte to find the offset.
  size_t i = head;
  for (; i + kWordSize <= length; i += kWordSize) {
    uint64_t word;
    std::memcpy(&word, data + i, kWordSize);
    if (word != StoredPatternWord(position + i)) break;
  }
  for (; i < length; ++i)
    if (data[i] != PatternByte(position + i)) return position + i;
  return std::nullopt;
}
