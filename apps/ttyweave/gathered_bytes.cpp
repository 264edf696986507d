// SPDX-License-Identifier: MIT
#include "gathered_bytes.h"

#include <algorithm>
#include <cstring>

// Not zeroed: a large ring only takes memory as it fills.
GatheredBytes::GatheredBytes(size_t capacity)
    : m_capacity(capacity), m_bytes(new uint8_t[capacity]) {}

void GatheredBytes::Add(const uint8_t* data, size_t count) {
  m_end += count;
  if (count > m_capacity) {
    m_overwritten += count - m_capacity;
    data += count - m_capacity;
    count = m_capacity;
  }
  const size_t overflow = m_length + count > m_capacity ? m_length + count - m_capacity : 0;
  m_start = (m_start + overflow) % m_capacity;
  m_length -= overflow;
  m_overwritten += overflow;
  const size_t end = (m_start + m_length) % m_capacity;
  const size_t first = std::min(count, m_capacity - end);
  std::memcpy(m_bytes.get() + end, data, first);
  std::memcpy(m_bytes.get(), data + first, count - first);
  m_length += count;
}

void GatheredBytes::Add(const ByteSpans& runs, size_t count) {
  for (int i = 0; i < runs.count && count > 0; ++i) {
    const size_t part = std::min(count, runs.parts[i].iov_len);
    Add(static_cast<const uint8_t*>(runs.parts[i].iov_base), part);
    count -= part;
  }
}

ByteSpans GatheredBytes::Oldest(size_t count) const {
  return ring_detail::Runs(m_bytes.get(), m_capacity, m_start, std::min(count, m_length));
}

void GatheredBytes::Drop(size_t count) {
  count = std::min(count, m_length);
  m_start = (m_start + count) % m_capacity;
  m_length -= count;
}
