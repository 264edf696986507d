// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

// The whole contents of the file at `path`; nullopt when there is no such file. Throws
// ErrnoException (named after the path) when it exists but cannot be read.
std::optional<std::string> ReadFileIfPresent(const std::string& path);

// Makes `contents` the file at `path` (mode 0600) so that a crash or a power cut at any moment
// leaves either the old or the new contents whole, never a partial or empty file: they are
// written to a new file in the same directory, synced, renamed over `path`, and the directory
// is synced. Throws ErrnoException, leaving the old file as it was; only when the last step, the
// directory's sync, fails is the new file already in place (but perhaps not yet on the disk).
void ReplaceFileDurably(const std::string& path, const std::string& contents);
