// SPDX-License-Identifier: MIT
#include "write_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "errno_exception.h"

namespace {

[[noreturn]] void CloseAndThrow(int fd) {
  const int error = errno;
  close(fd);
  throw ErrnoException(error, nullptr);
}

}  // namespace

int WriteFile(const std::string& path, const std::string& contents, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw ErrnoException(errno, path.c_str());
  for (std::size_t done = 0; done < contents.size();) {
    const ssize_t written = write(fd, contents.data() + done, contents.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      CloseAndThrow(fd);
    }
    done += static_cast<std::size_t>(written);
  }
  // Kernel files (procfs, sysfs) and read-only mounts cannot be synced; that is no failure.
  if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) CloseAndThrow(fd);
  return close(fd);
}
