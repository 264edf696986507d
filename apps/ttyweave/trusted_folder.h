// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "file_descriptor.h"

// A file or folder the daemon will not write in, with what it is in a few words ("a symbolic
// link", "owned by uid 65534").
class FileRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A folder that only root can change, held open so that its files are reached relative to it:
// once it is open, no one else can swap a name in it for a link, a FIFO or a file of their own.
// Every file the daemon makes in it begins with a signature of its kind (a log's mark, a
// recording's header), and an existing file is taken only when it is plainly one of those.
class TrustedFolder {
 public:
  struct OpenedFile {
    FileDescriptor fd;  // non-blocking
    bool regular;       // a file of ours, not a device
    bool created;       // made just now, holding `first_bytes`
    size_t size;
  };

  // Opens the folder at `path`. Throws ErrnoException when it cannot be opened, FileRefused when
  // others may write in it: its owner is not root, or it is writable by all or by a group other
  // than root's.
  explicit TrustedFolder(const std::string& path);

  TrustedFolder(const TrustedFolder&) = delete;
  TrustedFolder& operator=(const TrustedFolder&) = delete;

  // Opens `name` to append to, never through a link. A missing file is made (O_EXCL) with `mode`,
  // group `group` (-1: root's), and `first_bytes`, which begin with `signature`, and is synced with
  // its entry. An existing one is taken when it is a character device (written to as it is) or a
  // file of ours, whose group becomes `group` and whose mode is narrowed to `mode`, never widened.
  // Throws FileRefused for anything else, ErrnoException when a system call fails.
  OpenedFile OpenToAppend(const std::string& name, const std::string& signature,
                          const std::string& first_bytes, mode_t mode, gid_t group) const;
  // Keeps the full file `from` of a bounded output as its older file `to`: renames it, replacing
  // `to`, and syncs the folder; returns nothing. When `to` is there and is not a file of ours, it
  // is left as it is and `from` removed instead (later output is kept rather than older): returns
  // what `to` is. Throws ErrnoException.
  std::optional<std::string> KeepAsOlder(const std::string& from, const std::string& to,
                                         const std::string& signature) const;

 private:
  // Renames `from` to `to`, replacing it, and syncs the folder. Throws FileRefused when `to` is
  // there and is not a file of ours (it is left as it is), ErrnoException.
  void Replace(const std::string& from, const std::string& to, const std::string& signature) const;
  OpenedFile Create(const std::string& name, const std::string& first_bytes, mode_t mode,
                    gid_t group) const;

  const std::string m_path;
  FileDescriptor m_fd;
};
