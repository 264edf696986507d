// SPDX-License-Identifier: MIT
#include "trusted_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "errno_exception.h"
#include "file_descriptor.h"
#include "string_operations.h"

namespace {

constexpr uid_t kRoot = 0;
constexpr gid_t kRootGroup = 0;
// Never through a link, never waiting (a FIFO, a stopped terminal), never a controlling terminal,
// never passed on to the program.
constexpr int kOpenFlags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// Made owner-only, then opened up to the mode asked for once the group is set.
constexpr mode_t kCreationMode = 0600;

const char* KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISCHR(mode)) return "a character device";
  return "a file";
}

// Throws FileRefused unless the open file is a file of ours: regular, owned by root, with no
// other name, beginning with `signature`.
void CheckOurs(int fd, const struct stat& info, const std::string& signature) {
  if (!S_ISREG(info.st_mode)) throw FileRefused(KindOf(info.st_mode));
  if (info.st_uid != kRoot) throw FileRefused(strprintf("owned by uid %u", info.st_uid));
  if (info.st_nlink != 1)
    throw FileRefused(
        strprintf("a file with %lu links", static_cast<unsigned long>(info.st_nlink)));
  std::vector<char> start(signature.size());
  const ssize_t got = pread(fd, start.data(), start.size(), 0);
  if (got < 0) throw ErrnoException(errno, "read");
  if (static_cast<size_t>(got) != start.size() || signature.compare(0, got, start.data(), got) != 0)
    throw FileRefused("not a file this daemon wrote");
}

void WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) throw ErrnoException(written < 0 ? errno : ENOSPC, "write");
    done += static_cast<size_t>(written);
  }
}

}  // namespace

TrustedFolder::TrustedFolder(const std::string& path)
    : m_path(path), m_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!m_fd.IsOpen()) throw ErrnoException(errno, "open");
  struct stat info;
  if (fstat(m_fd.Get(), &info) < 0) throw ErrnoException(errno, "stat");
  // logrotate's rule, and its owner too: a folder where others can rename, link or plant names.
  if (info.st_uid != kRoot)
    throw FileRefused(strprintf("its folder %s is owned by uid %u", path.c_str(), info.st_uid));
  if (info.st_mode & S_IWOTH)
    throw FileRefused(strprintf("its folder %s is writable by all", path.c_str()));
  if ((info.st_mode & S_IWGRP) && info.st_gid != kRootGroup)
    throw FileRefused(
        strprintf("its folder %s is writable by group %u", path.c_str(), info.st_gid));
}

TrustedFolder::OpenedFile TrustedFolder::OpenToAppend(const std::string& name,
                                                      const std::string& signature,
                                                      const std::string& first_bytes, mode_t mode,
                                                      gid_t group) const {
  struct stat found;
  if (fstatat(m_fd.Get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) < 0) {
    if (errno == ENOENT) return Create(name, first_bytes, mode, group);
    throw ErrnoException(errno, "stat");
  }
  // Nothing else is even opened: opening a FIFO or a device may have effects of its own.
  if (!S_ISREG(found.st_mode) && !S_ISCHR(found.st_mode)) throw FileRefused(KindOf(found.st_mode));
  // A file is read too, for its signature; a device is only written to.
  FileDescriptor guard(
      openat(m_fd.Get(), name.c_str(), (S_ISREG(found.st_mode) ? O_RDWR : O_WRONLY) | kOpenFlags));
  const int opened = guard.Get();
  if (opened < 0) throw ErrnoException(errno, "open");
  struct stat info;
  if (fstat(opened, &info) < 0) throw ErrnoException(errno, "stat");
  if (S_ISCHR(info.st_mode)) return {std::move(guard), false, false, 0};
  CheckOurs(opened, info, signature);
  if (fchown(opened, static_cast<uid_t>(-1), group) < 0) throw ErrnoException(errno, "chown");
  if (fchmod(opened, info.st_mode & mode) < 0) throw ErrnoException(errno, "chmod");
  return {std::move(guard), true, false, static_cast<size_t>(info.st_size)};
}

TrustedFolder::OpenedFile TrustedFolder::Create(const std::string& name,
                                                const std::string& first_bytes, mode_t mode,
                                                gid_t group) const {
  FileDescriptor created(
      openat(m_fd.Get(), name.c_str(), O_CREAT | O_EXCL | O_RDWR | kOpenFlags, kCreationMode));
  const int fd = created.Get();
  if (fd < 0) throw ErrnoException(errno, "open");
  try {
    if (fchown(fd, static_cast<uid_t>(-1), group) < 0) throw ErrnoException(errno, "chown");
    if (fchmod(fd, mode) < 0) throw ErrnoException(errno, "chmod");
    WriteAll(fd, first_bytes);
    if (fdatasync(fd) < 0 || fsync(m_fd.Get()) < 0) throw ErrnoException(errno, "sync");
  } catch (...) {
    // A file without its signature would never be taken again.
    created.Reset();
    unlinkat(m_fd.Get(), name.c_str(), 0);
    throw;
  }
  return {std::move(created), true, true, first_bytes.size()};
}

void TrustedFolder::Replace(const std::string& from, const std::string& to,
                            const std::string& signature) const {
  struct stat found;
  if (fstatat(m_fd.Get(), to.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(found.st_mode)) throw FileRefused(KindOf(found.st_mode));
    FileDescriptor guard(
        openat(m_fd.Get(), to.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int opened = guard.Get();
    if (opened < 0) throw ErrnoException(errno, "open");
    struct stat info;
    if (fstat(opened, &info) < 0) throw ErrnoException(errno, "stat");
    CheckOurs(opened, info, signature);
  } else if (errno != ENOENT) {
    throw ErrnoException(errno, "stat");
  }
  if (renameat(m_fd.Get(), from.c_str(), m_fd.Get(), to.c_str()) < 0)
    throw ErrnoException(errno, "rename");
  if (fsync(m_fd.Get()) < 0) throw ErrnoException(errno, "sync");
}

std::optional<std::string> TrustedFolder::KeepAsOlder(const std::string& from,
                                                      const std::string& to,
                                                      const std::string& signature) const {
  try {
    Replace(from, to, signature);
    return std::nullopt;
  } catch (const FileRefused& refusal) {
    if (unlinkat(m_fd.Get(), from.c_str(), 0) < 0) throw ErrnoException(errno, "unlink");
    return refusal.what();
  }
}
