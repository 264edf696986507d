// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>

// Makes `contents` the whole content of the file at `path`, creating it with `mode` if needed,
// and syncs it. Returns what the final close() returned. Throws ErrnoException: named after the
// path when the file cannot be opened, without a name when writing or syncing fails.
int WriteFile(const std::string& path, const std::string& contents, mode_t mode);
