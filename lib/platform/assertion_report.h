// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdlib>

// Writes a critical record of a failed check to the kernel log ("/dev/kmsg"), or to stderr
// when the kernel log cannot be opened. Never throws and never aborts: callers abort.
void ReportAssertion(const char* file, unsigned line, const char* function, const char* expression);

// The same report with a printf-style detail line.
void ReportAssertionMessage(const char* file, unsigned line, const char* function,
                            const char* expression, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

namespace plinth::detail {

// A source path with its extension cut off, made at compile time from __FILE__.
template <std::size_t N>
struct SourceName {
  char text[N]{};
  constexpr explicit SourceName(const char (&file)[N]) {
    std::size_t end = N - 1;
    for (std::size_t i = N - 1; i > 0 && file[i - 1] != '/'; --i) {
      if (file[i - 1] == '.') {
        end = i - 1;
        break;
      }
    }
    for (std::size_t i = 0; i < end; ++i) text[i] = file[i];
  }
};

}  // namespace plinth::detail

// Checks an invariant of our own code: reports the source, line, function and condition, then
// aborts.
#define PLINTH_CHECK(condition)                                                                 \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      static constexpr ::plinth::detail::SourceName<sizeof(__FILE__)> plinth_source_(__FILE__); \
      ReportAssertion(plinth_source_.text, __LINE__, __PRETTY_FUNCTION__, #condition);          \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
