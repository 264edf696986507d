// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

// The whole contents of the file at `path`; nullopt when there is no such file. Throws
// ErrnoException (named after the path) when it exists but cannot be read.
std::optional<std::string> ReadFileIfPresent(const std::string& path);

// Makes `contents` the file at `path` (mode 0600) so that a crash or a power cut at any moment
// leaves either the old or the new contents whole, never a partial or empty file: they are
// written to "<path>.new", made anew whatever had that name, synced, and renamed over `path`.
// Throws ErrnoException, leaving the old file as it was. The rename reaches the disk only with
// SyncDirectoryOf(path).
void ReplaceFile(const std::string& path, const std::string& contents);

// Syncs the directory that holds `path`, so that its entries (a rename into it) are on the disk.
// Throws ErrnoException named after the directory.
void SyncDirectoryOf(const std::string& path);
