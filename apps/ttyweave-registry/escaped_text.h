// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

// `text` on one line that says exactly what it holds: a backslash as "\\", a newline as "\n", and
// any other control character, or any character of `also`, as "\xHH" (two lowercase hex digits).
// Everything else, UTF-8 sequences included, stays as it is.
std::string EscapedText(std::string_view text, std::string_view also = "");
