// SPDX-License-Identifier: MIT
#pragma once

#include <boost/lexical_cast.hpp>
#include <optional>
#include <string>

// A setting's whole value as a decimal number of type T (an optional sign, digits, nothing else;
// an unsigned type takes a negative number as it wraps), or nothing when it is not one that T
// holds.
template <typename T>
std::optional<T> AsNumber(const std::string& text) {
  try {
    return boost::lexical_cast<T>(text);
  } catch (const boost::bad_lexical_cast&) {
    return std::nullopt;
  }
}
