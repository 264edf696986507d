// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// `text` as plain text that no terminal takes for a command and that cannot start a line of its
// own: a backslash is doubled, and every control character (C0, DEL, and C1 written as UTF-8) and
// every byte that is not part of valid UTF-8 is written as an escape: \r, \n, \t, \e, or \xHH.
std::string EscapedText(const std::string& text);
