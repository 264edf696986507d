// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

// Owns one open file descriptor (or none, -1) and closes it when destroyed.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor() {
    // Nothing useful can be done about a failed close of a descriptor we are finished with.
    if (m_fd >= 0) close(m_fd);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (m_fd >= 0) close(m_fd);
      m_fd = other.m_fd;
      other.m_fd = -1;
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd;
};
