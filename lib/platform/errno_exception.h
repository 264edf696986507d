// SPDX-License-Identifier: MIT
#pragma once

#include <exception>
#include <string>

// Thrown for a failed system call. what() reads "<operation>: <strerror> (<errno>)",
// or without the operation part when none is given.
class ErrnoException : public std::exception {
 public:
  ErrnoException(int errnum, const char* operation);
  const char* what() const noexcept override { return m_what.c_str(); }
  int Errno() const { return m_errno; }

 private:
  std::string m_what;
  int m_errno;
};
