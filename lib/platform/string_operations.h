// SPDX-License-Identifier: MIT
#pragma once

#include <cstdarg>
#include <string>

// printf into a string; a result longer than kMaxFormattedLength is cut to exactly that many
// characters, the last three replaced by "...".
constexpr std::size_t kMaxFormattedLength = 4000;

std::string strvprintf(const char* format, va_list args);
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
