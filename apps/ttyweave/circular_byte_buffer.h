// SPDX-License-Identifier: MIT
#pragma once

// Fixed-size byte rings for the session's two byte paths. A transfer is split in two halves so
// that one readv() or writev() moves bytes straight into or out of the ring: a begin operation
// hands out the room (or the bytes still to send) as up to two runs, the part up to the end of
// the array and the part after the wrap; an end operation commits the count the call returned.
// No allocation: the storage is inside the object. Misuse is a broken invariant (PLINTH_CHECK).

#include <sys/uio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "assertion_report.h"

// Up to two runs of a ring's array, in ring order, ready for readv() or writev().
struct ByteSpans {
  iovec parts[2];
  int count;    // parts in use
  size_t size;  // bytes in all of them
};

namespace ring_detail {

// The `length` bytes from `start` on, in an array of `size` bytes that wraps at its end.
inline ByteSpans Runs(uint8_t* array, size_t size, size_t start, size_t length) {
  const size_t first = std::min(length, size - start);
  return {{{array + start, first}, {array, length - first}},
          length == 0      ? 0
          : first < length ? 2
                           : 1,
          length};
}

// Copies all `length` bytes into `ring`'s room, across the wrap if need be, or nothing (false).
template <typename Ring>
bool PushAll(Ring& ring, const void* data, size_t length) {
  const ByteSpans room = ring.BeginPush();
  if (length > room.size) return false;
  const size_t first = std::min(length, room.parts[0].iov_len);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (first > 0) std::memcpy(room.parts[0].iov_base, bytes, first);
  if (length > first) std::memcpy(room.parts[1].iov_base, bytes + first, length - first);
  ring.EndPush(static_cast<int>(length));
  return true;
}

}  // namespace ring_detail

// One writer, one reader. Holds at most SIZE - 1 bytes: one slot always stays empty so that a
// full ring can be told from an empty one.
template <size_t SIZE>
class CircularByteBuffer {
 public:
  // The free room at the write position.
  ByteSpans BeginPush() { return ring_detail::Runs(m_buffer, SIZE, m_wp, SIZE - 1 - Used()); }

  // Commits `written` bytes (a read() result that is not negative) at the write position.
  void EndPush(int written) {
    PLINTH_CHECK(written >= 0 && static_cast<size_t>(written) <= SIZE - 1 - Used());
    m_wp = (m_wp + written) % SIZE;
  }

  // The bytes waiting at the read position.
  ByteSpans BeginPop() { return ring_detail::Runs(m_buffer, SIZE, m_rp, Used()); }

  // Releases `read` bytes (a write() result that is not negative) at the read position.
  void EndPop(int read) {
    PLINTH_CHECK(read >= 0 && static_cast<size_t>(read) <= Used());
    m_rp = (m_rp + read) % SIZE;
  }

  // Copies all `length` bytes in, across the wrap if need be, or nothing at all (false).
  bool PushAll(const void* data, size_t length) {
    return ring_detail::PushAll(*this, data, length);
  }

  bool IsEmpty() const { return m_wp == m_rp; }
  bool IsFull() const { return Used() == SIZE - 1; }

 private:
  size_t Used() const { return (m_wp + SIZE - m_rp) % SIZE; }

  uint8_t m_buffer[SIZE] = {};
  size_t m_wp = 0;
  size_t m_rp = 0;
};

// One writer, up to MAX_READERS readers, each at its own pace and known by the handle AddReader
// gave it until it is removed (other readers coming and going leave it as it is). The writer never
// passes a live reader, so no reader has more than SIZE - 1 bytes to read; bytes every reader has
// consumed stay as history, from which a reader added later is served first.
template <size_t SIZE, size_t MAX_READERS>
class MultiReaderCircularByteBuffer {
 public:
  // The free room at the write position: what every live reader lets the writer add. With no
  // reader the writer is never held up and overwrites the history, the whole array if need be.
  ByteSpans BeginPush() { return ring_detail::Runs(m_buffer, SIZE, m_wp, Room()); }

  // Commits `written` bytes at the write position.
  void EndPush(int written) {
    PLINTH_CHECK(written >= 0 && static_cast<size_t>(written) <= Room());
    m_wp = (m_wp + written) % SIZE;
    // Only says whether the array has been filled: stops counting there.
    m_total_written = std::min(SIZE, m_total_written + written);
  }

  // Copies all `length` bytes in, across the wrap if need be, or nothing at all (false).
  bool PushAll(const void* data, size_t length) {
    return ring_detail::PushAll(*this, data, length);
  }

  // The bytes that `reader` has still to read.
  ByteSpans BeginPop(uint32_t reader) {
    return ring_detail::Runs(m_buffer, SIZE, m_rp[reader], Unread(reader));
  }

  // Releases `read` bytes for `reader`.
  void EndPop(uint32_t reader, int read) {
    PLINTH_CHECK(read >= 0 && static_cast<size_t>(read) <= Unread(reader));
    m_rp[reader] = (m_rp[reader] + read) % SIZE;
  }

  bool IsEmpty(uint32_t reader) const { return m_rp[reader] == m_wp; }
  bool IsFull(uint32_t reader) const { return Unread(reader) == SIZE - 1; }
  size_t ActiveReaders() const { return m_active_readers; }

  // Adds a reader and returns its handle (the lowest free one). It first receives the history:
  // all bytes written so far, or the last SIZE - 1 once the array has been filled, which makes it
  // full.
  uint32_t AddReader() {
    // Not checked by the ring's callers; a reader past the array would corrupt memory.
    PLINTH_CHECK(m_active_readers < MAX_READERS);
    uint32_t reader = 0;
    while (m_active[reader]) ++reader;
    m_rp[reader] = (m_wp + SIZE - std::min(m_total_written, SIZE - 1)) % SIZE;
    m_active[reader] = true;
    ++m_active_readers;
    return reader;
  }

  // Drops `reader`; its handle may be given to a reader added later.
  void RemoveReader(uint32_t reader) {
    PLINTH_CHECK(reader < MAX_READERS && m_active[reader]);
    m_active[reader] = false;
    --m_active_readers;
  }

 private:
  size_t Unread(uint32_t reader) const { return (m_wp + SIZE - m_rp[reader]) % SIZE; }

  size_t Room() const {
    if (m_active_readers == 0) return SIZE;
    size_t most_unread = 0;
    for (uint32_t r = 0; r < MAX_READERS; ++r)
      if (m_active[r]) most_unread = std::max(most_unread, Unread(r));
    return SIZE - 1 - most_unread;
  }

  uint8_t m_buffer[SIZE] = {};
  size_t m_wp = 0;
  size_t m_rp[MAX_READERS] = {};
  bool m_active[MAX_READERS] = {};
  size_t m_total_written = 0;
  size_t m_active_readers = 0;
};
