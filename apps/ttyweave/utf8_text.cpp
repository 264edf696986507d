// SPDX-License-Identifier: MIT
#include "utf8_text.h"

#include <algorithm>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// What a lead byte begins: the sequence's length (0: not a lead byte) and the range its second
// byte must be in, which rules out overlong forms, surrogates and code points past U+10FFFF.
struct Lead {
  size_t length;
  uint8_t lowest;
  uint8_t highest;
};

Lead LeadOf(uint8_t byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Whether `byte` may follow the first `position` bytes of a sequence begun by `lead`.
bool Continues(const Lead& lead, size_t position, uint8_t byte) {
  return position == 1 ? byte >= lead.lowest && byte <= lead.highest : (byte & 0xC0) == 0x80;
}

}  // namespace

void Utf8Text::Append(const void* data, size_t count, std::string& text) {
  const uint8_t* next = static_cast<const uint8_t*>(data);
  const uint8_t* const end = next + count;
  next += Finish(next, count, text);
  const uint8_t* run = next;  // the valid bytes from here to `next` are not yet appended
  while (next < end) {
    if (*next < 0x80) {
      ++next;
      continue;
    }
    const Lead lead = LeadOf(*next);
    size_t length = 1;
    while (length < lead.length && next + length < end && Continues(lead, length, next[length]))
      ++length;
    if (length == lead.length) {
      next += length;
      continue;
    }
    text.append(reinterpret_cast<const char*>(run), next - run);
    if (lead.length > 0 && next + length == end) {
      // Cut off by the end of the chunk: held back for the next.
      std::copy(next, end, m_held);
      m_held_count = length;
    } else {
      text += kReplacement;
    }
    next += length;
    run = next;
  }
  text.append(reinterpret_cast<const char*>(run), end - run);
}

size_t Utf8Text::Finish(const uint8_t* data, size_t count, std::string& text) {
  size_t taken = 0;
  const Lead lead = LeadOf(m_held[0]);
  while (m_held_count > 0 && taken < count) {
    if (!Continues(lead, m_held_count, data[taken])) {
      Flush(text);  // the byte that does not fit begins anew
      break;
    }
    m_held[m_held_count++] = data[taken++];
    if (m_held_count == lead.length) {
      text.append(reinterpret_cast<const char*>(m_held), m_held_count);
      m_held_count = 0;
    }
  }
  return taken;
}

void Utf8Text::Flush(std::string& text) {
  if (m_held_count > 0) text += kReplacement;
  m_held_count = 0;
}
