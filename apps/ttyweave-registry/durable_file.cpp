// SPDX-License-Identifier: MIT
#include "durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "errno_exception.h"
#include "write_file.h"

namespace {

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (m_fd >= 0) close(m_fd);
  }
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

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

void ReplaceFileDurably(const std::string& path, const std::string& contents) {
  // Same directory, so that the rename stays within one file system and is atomic.
  const std::string temporary = path + ".new";
  try {
    // Whole and synced; a failed close is a delayed write error.
    if (WriteFile(temporary, contents, 0600) < 0) throw ErrnoException(errno, nullptr);
  } catch (const ErrnoException& error) {
    unlink(temporary.c_str());
    throw ErrnoException(error.Errno(), temporary.c_str());
  }
  if (rename(temporary.c_str(), path.c_str()) < 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw ErrnoException(error, path.c_str());
  }
  // The rename itself is an entry of the directory: until the directory reaches the disk, a
  // power cut can bring back the old file.
  const std::string directory_path = DirectoryOf(path);
  FileDescriptor directory(open(directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0 || fsync(directory.Get()) < 0) {
    throw ErrnoException(errno, directory_path.c_str());
  }
}
