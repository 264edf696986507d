#pragma once

// Fixed-size byte rings whose begin operations hand out contiguous spans for direct read() and
// write() calls and whose end operations commit what the call moved. No allocation: the storage
// is inside the object. Misuse is a broken invariant and fails a PLINTH_CHECK.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "assertion_report.h"

// A contiguous run of bytes inside a ring: where it starts and how many bytes it holds.
struct ByteSpan {
  uint8_t* data;
  size_t size;
};

// One writer, one reader. Holds at most SIZE - 1 bytes: one slot always stays empty so that a
// full ring can be told from an empty one.
template <size_t SIZE>
class CircularByteBuffer {
 public:
  // Free contiguous room at the write position (never wraps onto the reader).
  ByteSpan BeginPush() {
    size_t span;
    if (m_wp >= m_rp) {
      span = SIZE - m_wp;
      if (m_rp == 0) --span;
    } else {
      span = m_rp - m_wp - 1;
    }
    return {m_buffer + m_wp, span};
  }

  // Commits `written` bytes (a read() result that is not negative) at the write position.
  void EndPush(int written) {
    m_wp += written;
    PLINTH_CHECK(m_wp <= SIZE);
    if (m_wp == SIZE) m_wp = 0;
  }

  // Readable contiguous bytes at the read position; the part after the wrap comes next time.
  ByteSpan BeginPop() {
    const size_t span = m_rp <= m_wp ? m_wp - m_rp : SIZE - m_rp;
    return {m_buffer + m_rp, span};
  }

  // Releases `read` bytes (a write() result that is not negative) at the read position.
  void EndPop(int read) {
    m_rp += read;
    PLINTH_CHECK(m_rp <= SIZE);
    if (m_rp == SIZE) m_rp = 0;
  }

  bool IsEmpty() const { return m_wp == m_rp; }
  bool IsFull() const { return (m_wp + 1) % SIZE == m_rp; }

 private:
  uint8_t m_buffer[SIZE] = {};
  size_t m_wp = 0;
  size_t m_rp = 0;
};

// One writer, up to MAX_READERS readers (0 to m_active_readers - 1, always dense), each at its
// own pace. The writer never passes a live reader; bytes every reader has consumed stay as
// history, from which a reader added later is served first.
template <size_t SIZE, size_t MAX_READERS>
class MultiReaderCircularByteBuffer {
 public:
  // Free contiguous room at the write position over all live readers; with no reader the
  // writer is never held up and overwrites history.
  ByteSpan BeginPush() {
    size_t span = SIZE - m_wp;
    for (size_t r = 0; r < m_active_readers; ++r) {
      if (m_rp[r] > m_wp) {
        span = Min(span, m_rp[r] - m_wp - 1);
      } else if (m_rp[r] == 0) {
        span = Min(span, SIZE - m_wp - 1);
      }
    }
    return {m_buffer + m_wp, span};
  }

  // Commits `written` bytes at the write position.
  void EndPush(int written) {
    PLINTH_CHECK(written >= 0);
    m_wp += written;
    PLINTH_CHECK(m_wp <= SIZE);
    if (m_wp == SIZE) m_wp = 0;
    // No commit crosses the end of the array, so this reaches exactly SIZE at the first wrap.
    if (m_total_written < SIZE) m_total_written += written;
  }

  // Copies all `length` bytes in, across the wrap if need be, or nothing at all (false).
  bool PushAll(const void* data, size_t length) {
    if (length == 0) return true;  // (data may then be null, which memmove must not see)
    const ByteSpan first = BeginPush();
    if (length <= first.size) {
      std::memmove(first.data, data, length);
      EndPush(static_cast<int>(length));
      return true;
    }
    const size_t saved_wp = m_wp;
    const size_t saved_total_written = m_total_written;
    EndPush(static_cast<int>(first.size));
    const ByteSpan second = BeginPush();
    if (length > first.size + second.size) {
      m_wp = saved_wp;
      m_total_written = saved_total_written;
      return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    std::memmove(first.data, bytes, first.size);
    std::memmove(second.data, bytes + first.size, length - first.size);
    EndPush(static_cast<int>(length - first.size));
    return true;
  }

  // Bytes that `reader` has still to read, up to the end of the array.
  ByteSpan BeginPop(uint32_t reader) {
    const size_t rp = m_rp[reader];
    return {m_buffer + rp, rp <= m_wp ? m_wp - rp : SIZE - rp};
  }

  // Releases `read` bytes for `reader`.
  void EndPop(uint32_t reader, int read) {
    m_rp[reader] += read;
    PLINTH_CHECK(m_rp[reader] <= SIZE);
    if (m_rp[reader] == SIZE) m_rp[reader] = 0;
  }

  bool IsEmpty(uint32_t reader) const { return m_rp[reader] == m_wp; }
  bool IsFull(uint32_t reader) const { return (m_wp + 1) % SIZE == m_rp[reader]; }
  size_t ActiveReaders() const { return m_active_readers; }

  // Adds reader number `reader` (the next free one). It first receives the history: all bytes
  // written so far, or the last SIZE - 1 once the array has been filled, which makes it full.
  void AddReader(uint32_t reader) {
    PLINTH_CHECK(reader == m_active_readers);
    // Not checked by callers of the ring itself; a reader past the array would corrupt memory.
    PLINTH_CHECK(reader < MAX_READERS);
    if (m_total_written > SIZE - 1) {
      m_rp[reader] = (m_wp + 1) % SIZE;
    } else {
      PLINTH_CHECK(m_wp >= m_total_written);
      m_rp[reader] = m_wp - m_total_written;
    }
    ++m_active_readers;
  }

  // Drops `reader`; the readers after it move down one index with their positions.
  void RemoveReader(uint32_t reader) {
    PLINTH_CHECK(reader < m_active_readers);
    --m_active_readers;
    for (size_t i = reader; i < m_active_readers; ++i) m_rp[i] = m_rp[i + 1];
  }

 private:
  static size_t Min(size_t a, size_t b) { return a < b ? a : b; }

  uint8_t m_buffer[SIZE] = {};
  size_t m_wp = 0;
  size_t m_rp[MAX_READERS] = {};
  size_t m_total_written = 0;
  size_t m_active_readers = 0;
};
