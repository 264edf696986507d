// SPDX-License-Identifier: MIT
#include "escaped_text.h"

#include <cstdint>

#include "string_operations.h"

namespace {

// The first code point that is neither a control character nor one of UTF-8's encodings of them.
constexpr uint32_t kFirstPrintableAboveAscii = 0xA0;
constexpr uint32_t kFirstSurrogate = 0xD800;
constexpr uint32_t kLastSurrogate = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr unsigned char kDelete = 0x7F;

// The length of the valid UTF-8 sequence of a printable character that starts at `at`, or 0.
size_t PrintableSequenceLength(const std::string& text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  uint32_t code_point = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code_point = code_point << 6 | (byte(at + i) & 0x3F);
  }
  // Too long an encoding (which also hides C1 controls and ASCII), a surrogate, too large.
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code_point < kSmallest[length] || code_point < kFirstPrintableAboveAscii) return 0;
  if (code_point >= kFirstSurrogate && code_point <= kLastSurrogate) return 0;
  return code_point <= kLastCodePoint ? length : 0;
}

// How a byte that is not shown as it is is written.
std::string EscapeOf(unsigned char byte) {
  switch (byte) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\x1b':
      return "\\e";
    default:
      return strprintf("\\x%02x", byte);
  }
}

}  // namespace

std::string EscapedText(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte >= ' ' && byte < kDelete) {
      escaped += byte == '\\' ? "\\\\" : std::string(1, static_cast<char>(byte));
      ++at;
    } else if (const size_t length = PrintableSequenceLength(text, at); length > 0) {
      escaped.append(text, at, length);
      at += length;
    } else {
      escaped += EscapeOf(byte);
      ++at;
    }
  }
  return escaped;
}
