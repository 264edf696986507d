// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "circular_byte_buffer.h"

// Output gathered in memory until it is written to a file of bounded size: a ring allocated once.
// When more arrives than it holds, the oldest bytes go (counted): a file that keeps at most that
// much would have rotated them away anyway. Bytes are also known by their position in everything
// ever gathered, so that what refers to them (a recording's events) can tell which are still here.
class GatheredBytes {
 public:
  explicit GatheredBytes(size_t capacity);

  // Adds `count` bytes, dropping the oldest that no longer fit.
  void Add(const uint8_t* data, size_t count);
  // Adds the first `count` bytes of `runs`.
  void Add(const ByteSpans& runs, size_t count);

  size_t Size() const { return m_length; }
  // The position of the oldest byte still here, and of the next one to come.
  uint64_t Begin() const { return m_end - m_length; }
  uint64_t End() const { return m_end; }
  // The newest byte; only while Size() > 0.
  uint8_t Newest() const { return m_bytes[(m_start + m_length - 1) % m_capacity]; }
  // The oldest `count` bytes (at most Size()), ready for writev().
  ByteSpans Oldest(size_t count) const;
  // Lets the oldest `count` bytes go: written, or lost.
  void Drop(size_t count);
  // How many bytes went before they were written because newer ones took their place.
  uint64_t Overwritten() const { return m_overwritten; }

 private:
  const size_t m_capacity;
  std::unique_ptr<uint8_t[]> m_bytes;
  size_t m_start = 0;  // where the oldest byte is in m_bytes
  size_t m_length = 0;
  uint64_t m_end = 0;
  uint64_t m_overwritten = 0;
};
