// SPDX-License-Identifier: MIT
#include "durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "errno_exception.h"
#include "file_descriptor.h"

namespace {

void WriteAll(int fd, const std::string& text) {
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw ErrnoException(errno, nullptr);
    written += static_cast<std::size_t>(count);
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> ReadFileIfPresent(const std::string& path) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0 && errno == ENOENT) return std::nullopt;
  if (file.Get() < 0) throw ErrnoException(errno, path.c_str());
  std::string contents;
  char buffer[4096];
  for (;;) {
    const ssize_t count = read(file.Get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw ErrnoException(errno, path.c_str());
    if (count == 0) return contents;
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

void ReplaceFile(const std::string& path, const std::string& contents) {
  // Same directory, so that the rename stays within one file system and is atomic.
  const std::string temporary = path + ".new";
  // Whatever has that name (a stale file, or a link someone planted to make us write elsewhere)
  // is only a name to remove: the file is then made anew, and the open fails rather than follow
  // a link or share a file that someone put there in between.
  if (unlink(temporary.c_str()) < 0 && errno != ENOENT) {
    throw ErrnoException(errno, temporary.c_str());
  }
  FileDescriptor file(
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.Get() < 0) throw ErrnoException(errno, temporary.c_str());
  try {
    WriteAll(file.Get(), contents);
    if (fsync(file.Get()) < 0 || file.Close() < 0) throw ErrnoException(errno, nullptr);
  } catch (const ErrnoException& error) {
    unlink(temporary.c_str());
    throw ErrnoException(error.Errno(), temporary.c_str());
  }
  if (rename(temporary.c_str(), path.c_str()) < 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw ErrnoException(error, path.c_str());
  }
}

void SyncDirectoryOf(const std::string& path) {
  const std::string directory_path = DirectoryOf(path);
  FileDescriptor directory(open(directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0 || fsync(directory.Get()) < 0) {
    throw ErrnoException(errno, directory_path.c_str());
  }
}
