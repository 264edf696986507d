// SPDX-License-Identifier: MIT
#pragma once

#include "file_descriptor.h"

// Connects to the daemon's socket at `path` and makes the connection non-blocking. Returns no
// descriptor after writing why it cannot connect to standard error (for a permission failure
// with a line on who may connect).
FileDescriptor ConnectToSession(const char* path);
