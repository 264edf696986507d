// SPDX-License-Identifier: MIT
#include "kmsg_relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "kmsg_record.h"
#include "safe_fprintf.h"
#include "string_operations.h"

namespace {

constexpr char kKernelLogDevice[] = "/dev/kmsg";
// The largest record the kernel log hands out fits, with a terminating NUL after it.
constexpr size_t kKmsgRecordBufferSize = 4096;

}  // namespace

void KmsgRelay::Open(std::optional<uint32_t> level) {
  if (!level) return;
  // Close-on-exec: the program must not inherit a descriptor that reads the kernel log past any
  // restriction on it and whose reads would take records away from the relay.
  FileDescriptor fd(open(kKernelLogDevice, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.IsOpen()) {
    SafeFprintf(stderr, "Failed to open /dev/kmsg: %s\n", std::strerror(errno));
    return;
  }
  SafeFprintf(stderr, "Logging directly to serial console will be disabled\n");
  SafeFprintf(stderr, "Logging via ttyweave to level %u\n", *level);
  // A log that cannot be read from its end stays polled, its records dropped.
  m_level = lseek(fd.Get(), 0, SEEK_END) < 0 ? 0 : *level;
  m_fd = std::move(fd);
}

void KmsgRelay::ReadRecord() {
  if (!m_line.empty()) return;
  char record[kKmsgRecordBufferSize];
  const ssize_t got = read(m_fd.Get(), record, sizeof record - 1);
  if (got == 0) {
    // The log has ended (the device never does this; another source may): stop relaying
    // rather than be woken by its end of file on every pass.
    m_fd.Reset();
    return;
  }
  if (got < 0) {
    if (errno == EAGAIN) return;  // nothing new after all
    m_line = errno == EINVAL ? "{kmsg: Too long}\r\n" : strprintf("{kmsg: %m}\r\n");
    return;
  }
  record[got] = '\0';
  m_line = FormatKmsgRecord(record, m_level);
}
