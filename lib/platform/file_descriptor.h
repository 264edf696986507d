// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <utility>

// Owns one open file descriptor (or none, -1) and closes it when destroyed or given another.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the descriptor held (nothing useful can be done about a failed close of one we are
  // finished with) and holds `fd` instead.
  void Reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }
  // Closes now and returns close's result, so that a failure of the close itself (a delayed
  // write error) is seen.
  int Close() { return close(Release()); }

 private:
  int m_fd;
};
