// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "window_size_protocol.h"

// Takes apart what a framed connection sends (window_size_protocol.h) into its keys and window
// sizes, in the order they were sent, whatever the reads it arrives in. Keys are handed out as
// runs within the chunk given, never copied; a chunk never holds fewer bytes than the keys in it,
// so reading no more than the input ring's room keeps every key of the chunk within that room.
// A size applied as soon as it is handed out reaches the program before every key sent after it.
// The hello's size, if it has one, is the first piece. No allocation. Typical use, for each read:
//
//   decoder.Feed(chunk, got);
//   for (auto piece = decoder.Next(); piece.kind != FramedInput::Kind::kNeedMore;
//        piece = decoder.Next()) { ...keys into the ring, a size to the policy, or drop... }
class FramedInput {
 public:
  enum class Kind {
    kNeedMore,  // the chunk is used up
    kKeys,      // keys: `keys`, `count` (a run within the chunk)
    kSize,      // the client's window is now `size` (accepted values only)
    kError,     // a protocol error: the connection is to be dropped; every later call says so
  };
  struct Piece {
    Kind kind;
    const uint8_t* keys;
    size_t count;
    WindowSize size;
  };

  // Takes the next chunk the connection sent. The one before must have been used up (Next gave
  // kNeedMore); the chunk must stay in place until this one is.
  void Feed(const uint8_t* chunk, size_t size);
  // The next piece of the chunk, in the order sent.
  Piece Next();

 private:
  enum class State { kRecordType, kKeysLength, kKeys, kSize };

  Piece Fail();

  State m_state = State::kRecordType;
  bool m_failed = false;
  const uint8_t* m_next = nullptr;
  const uint8_t* m_end = nullptr;
  // In kKeys: the keys of the record still to come.
  size_t m_keys_left = 0;
  // In kSize: the size record's bytes after its type, as far as they have arrived.
  uint8_t m_size_bytes[kSizeRecordLength - 1] = {};
  size_t m_size_bytes_read = 0;
  // The first record, the hello, has been read: keys may follow.
  bool m_hello_read = false;
};
