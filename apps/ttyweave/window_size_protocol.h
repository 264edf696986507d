// SPDX-License-Identifier: MIT
#pragma once

// How a client tells the daemon its window size. A connection is raw both ways (every byte a
// key) unless the client's first message passes a descriptor (SCM_RIGHTS) together with a hello
// record: then what the client sends, from that message's first byte on, is a sequence of
// records. What the daemon sends stays raw. Raw clients (socat, a telnet bridge) pass no
// descriptors, so no byte a remote user types can ever be taken for a record. The descriptor only
// marks the message, the daemon never keeps it: a client passes one whose release does nothing
// and that holds nothing open, such as /dev/null (not its own socket, which a descriptor kept by
// mistake would hold open after the client had closed it).
//
//   keys     kKeysRecord, a length N (1 to 255), then N keys of any value
//   size     kSizeRecord, then columns and rows, each a big-endian 16-bit number; a size out of
//            1..kMaxWindowDimension is ignored
//   no size  kNoSizeRecord alone: the hello of a client without a size (read-only); later, it
//            changes nothing
//
// The first record, the hello, is a size or a no-size record; any other record type, a keys
// record before the hello or a keys record of length 0 is a protocol error.

#include <cstddef>
#include <cstdint>

// A terminal's window, in character cells.
struct WindowSize {
  uint16_t columns;
  uint16_t rows;
};

constexpr bool operator==(WindowSize a, WindowSize b) {
  return a.columns == b.columns && a.rows == b.rows;
}
constexpr bool operator!=(WindowSize a, WindowSize b) { return !(a == b); }

inline constexpr uint8_t kKeysRecord = 0x00;
inline constexpr uint8_t kSizeRecord = 0x01;
inline constexpr uint8_t kNoSizeRecord = 0x02;

inline constexpr size_t kMaxKeysPerRecord = 255;
inline constexpr size_t kKeysRecordHeaderLength = 2;  // type and length
inline constexpr size_t kMaxKeysRecordLength = kKeysRecordHeaderLength + kMaxKeysPerRecord;
inline constexpr size_t kSizeRecordLength = 5;
// Larger than any real screen, small enough that no program's arithmetic on it overflows.
inline constexpr uint16_t kMaxWindowDimension = 1000;

constexpr bool IsAcceptedWindowSize(WindowSize size) {
  return size.columns >= 1 && size.columns <= kMaxWindowDimension && size.rows >= 1 &&
         size.rows <= kMaxWindowDimension;
}

// Writes the size record of `size` to `out` (room for kSizeRecordLength bytes) and returns its
// length.
inline size_t EncodeSizeRecord(WindowSize size, uint8_t* out) {
  out[0] = kSizeRecord;
  out[1] = static_cast<uint8_t>(size.columns >> 8);
  out[2] = static_cast<uint8_t>(size.columns);
  out[3] = static_cast<uint8_t>(size.rows >> 8);
  out[4] = static_cast<uint8_t>(size.rows);
  return kSizeRecordLength;
}

// Writes the no-size record to `out` (room for one byte) and returns its length.
inline size_t EncodeNoSizeRecord(uint8_t* out) {
  out[0] = kNoSizeRecord;
  return 1;
}

// Writes a keys record of the first keys of `keys` (at most kMaxKeysPerRecord of `count`) to `out`
// (room for kMaxKeysRecordLength bytes) and returns its length: the keys it took are that length
// less kKeysRecordHeaderLength. No keys give no record (length 0).
inline size_t EncodeKeysRecord(const uint8_t* keys, size_t count, uint8_t* out) {
  if (count == 0) return 0;
  const size_t taken = count < kMaxKeysPerRecord ? count : kMaxKeysPerRecord;
  out[0] = kKeysRecord;
  out[1] = static_cast<uint8_t>(taken);
  for (size_t i = 0; i < taken; ++i) out[kKeysRecordHeaderLength + i] = keys[i];
  return kKeysRecordHeaderLength + taken;
}
