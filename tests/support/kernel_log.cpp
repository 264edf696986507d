#include "kernel_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "mount_namespace.h"

KernelLogReader::KernelLogReader() : m_fd(open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
  if (m_fd < 0 || lseek(m_fd, 0, SEEK_END) < 0) throw std::runtime_error("cannot read /dev/kmsg");
}

KernelLogReader::~KernelLogReader() { close(m_fd); }

std::string KernelLogReader::WaitFor(const std::string& marker, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char record[8192];
  while (std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = read(m_fd, record, sizeof record);
    if (n > 0) {
      const std::string text(record, n);
      if (text.find(marker) != std::string::npos) return text;
      continue;
    }
    if (n < 0 && errno == EPIPE) continue;  // records overwritten meanwhile: go on with the rest
    struct pollfd ready = {m_fd, POLLIN, 0};
    poll(&ready, 1, 50);
  }
  return "";
}

void WriteKernelLog(int priority, const std::string& text) {
  const int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot write /dev/kmsg");
  const std::string record = "<" + std::to_string(priority) + ">" + text + "\n";
  const ssize_t written = write(fd, record.data(), record.size());
  close(fd);
  if (written != static_cast<ssize_t>(record.size()))
    throw std::runtime_error("short write to /dev/kmsg");
}

std::string UniqueMarker(const std::string& stem) {
  static std::mt19937_64 random(std::random_device{}());
  return stem + "-" + std::to_string(getpid()) + "-" + std::to_string(random());
}

bool HideKernelLogForWriting() {
  // A read-only bind of a regular file: opening it for writing fails with EROFS.
  char path[] = "/tmp/ttyweave-no-kmsg-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  close(fd);
  const bool hidden =
      EnterPrivateMountNamespace() && BindMount(path, "/dev/kmsg") &&
      mount(nullptr, "/dev/kmsg", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  unlink(path);
  return hidden;
}
