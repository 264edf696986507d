// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>

// Thrown for a failed system call; what() reads "<call>: <strerror text>", where the call's
// name may say which descriptor it was made on ("read (standard input)").
class SystemCallError : public std::runtime_error {
 public:
  SystemCallError(const char* call, int error);
};
