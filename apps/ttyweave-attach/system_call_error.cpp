// SPDX-License-Identifier: MIT
#include "system_call_error.h"

#include <cstring>
#include <string>

SystemCallError::SystemCallError(const char* call, int error)
    : std::runtime_error(std::string(call) + ": " + std::strerror(error)) {}
