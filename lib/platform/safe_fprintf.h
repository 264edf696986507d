// SPDX-License-Identifier: MIT
#pragma once

#include <fmt/printf.h>

#include <cstdio>
#include <exception>

// printf-style print of one whole message with a single fwrite (built in a buffer with 500
// bytes inline). Returns the bytes written or -1. A format that does not fit its arguments
// prints "Message '<format>' threw '<error>'" instead of failing.
template <typename... Args>
int SafeFprintf(std::FILE* stream, const char* format, const Args&... args) {
  try {
    return fmt::fprintf(stream, format, args...);
  } catch (const std::exception& error) {
    return fmt::fprintf(stream, "Message '%s' threw '%s'\n", format, error.what());
  }
}
