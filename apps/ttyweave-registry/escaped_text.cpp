// SPDX-License-Identifier: MIT
#include "escaped_text.h"

#include <cstdio>

std::string EscapedText(std::string_view text, std::string_view also) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '\\') {
      escaped += "\\\\";
    } else if (character == '\n') {
      escaped += "\\n";
    } else if (byte < 0x20 || byte == 0x7f || also.find(character) != std::string_view::npos) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      escaped += code;
    } else {
      escaped += character;
    }
  }
  return escaped;
}
