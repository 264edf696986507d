// SPDX-License-Identifier: MIT
#include "framed_input.h"

#include "assertion_report.h"

void FramedInput::Feed(const uint8_t* chunk, size_t size) {
  PLINTH_CHECK(m_next == m_end);
  m_next = chunk;
  m_end = chunk + size;
}

FramedInput::Piece FramedInput::Next() {
  if (m_failed) return Fail();
  while (m_next != m_end) {
    switch (m_state) {
      case State::kRecordType: {
        const uint8_t type = *m_next++;
        if (type == kKeysRecord && m_hello_read) {
          m_state = State::kKeysLength;
        } else if (type == kSizeRecord) {
          m_size_bytes_read = 0;
          m_state = State::kSize;
        } else if (type == kNoSizeRecord) {
          m_hello_read = true;  // later ones change nothing either
        } else {
          return Fail();
        }
        break;
      }
      case State::kKeysLength:
        m_keys_left = *m_next++;
        if (m_keys_left == 0) return Fail();
        m_state = State::kKeys;
        break;
      case State::kKeys: {
        const size_t available = static_cast<size_t>(m_end - m_next);
        const size_t count = m_keys_left < available ? m_keys_left : available;
        const Piece keys{Kind::kKeys, m_next, count, {}};
        m_next += count;
        m_keys_left -= count;
        if (m_keys_left == 0) m_state = State::kRecordType;
        return keys;
      }
      case State::kSize: {
        m_size_bytes[m_size_bytes_read++] = *m_next++;
        if (m_size_bytes_read < sizeof m_size_bytes) break;
        m_state = State::kRecordType;
        m_hello_read = true;
        const WindowSize size{static_cast<uint16_t>(m_size_bytes[0] << 8 | m_size_bytes[1]),
                              static_cast<uint16_t>(m_size_bytes[2] << 8 | m_size_bytes[3])};
        // A size out of range is ignored; as the hello it makes a client without a size.
        if (IsAcceptedWindowSize(size)) return Piece{Kind::kSize, nullptr, 0, size};
        break;
      }
    }
  }
  return Piece{Kind::kNeedMore, nullptr, 0, {}};
}

FramedInput::Piece FramedInput::Fail() {
  m_failed = true;
  m_next = m_end;
  return Piece{Kind::kError, nullptr, 0, {}};
}
