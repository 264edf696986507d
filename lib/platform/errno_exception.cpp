// SPDX-License-Identifier: MIT
#include "errno_exception.h"

#include <cstring>
#include <sstream>

ErrnoException::ErrnoException(int errnum, const char* operation) : m_errno(errnum) {
  std::ostringstream message;
  if (operation != nullptr) message << operation << ": ";
  message << std::strerror(errnum) << " (" << errnum << ")";
  m_what = message.str();
}
