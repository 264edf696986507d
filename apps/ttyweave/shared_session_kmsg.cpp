// SPDX-License-Identifier: MIT
// SharedSession: the kernel log relay. Records logged after start-up and more urgent than the
// configured level become whole lines "{seconds.millis} message\r\n" in the output ring, in the
// same stream as the child's output. A line that does not fit waits, and no newer record is
// read until it has gone in. While the relay serves the serial console, the kernel's own console
// logging is turned down, and put back as it was when the session ends.
#include <fcntl.h>
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "kmsg_record.h"
#include "registry_client_impl.h"
#include "safe_fprintf.h"
#include "shared_session.h"
#include "string_operations.h"

namespace {

constexpr char kKernelLogDevice[] = "/dev/kmsg";
// The largest record the kernel log hands out fits, with a terminating NUL after it.
constexpr size_t kKmsgRecordBufferSize = 4096;

}  // namespace

void SharedSession::SetupKmsg() {
  int fd = -1;
  try {
    Registry* registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
    // Digits with one optional sign; "-1" wraps to the largest level and relays everything.
    const auto level =
        boost::lexical_cast<unsigned int>(registry->Read("networking", "telnet_log_level"));
    // Close-on-exec: the program must not inherit a descriptor that reads the kernel log past
    // any restriction on it and whose reads would take records away from the relay.
    fd = open(kKernelLogDevice, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      SafeFprintf(stderr, "Failed to open /dev/kmsg: %s\n", std::strerror(errno));
      SetKernelLog(-1, level);
      return;
    }
    SafeFprintf(stderr, "Logging directly to serial console will be disabled\n");
    SafeFprintf(stderr, "Logging via ttyweave to level %u\n", level);
    if (lseek(fd, 0, SEEK_END) < 0) throw ErrnoException(errno, "seek /dev/kmsg");
    SetKernelLog(fd, level);
  } catch (...) {
    // No usable level: nothing is relayed. An opened device stays polled, its records dropped.
    SetKernelLog(fd, 0);
  }
}

void SharedSession::DisableConsoleLogging() {
  // Without the relay the kernel keeps printing on the console itself.
  if (m_kmsg_fd < 0) return;
  m_quiet_console.emplace();
}

void SharedSession::SetKernelLog(int fd, uint32_t level) {
  if (m_kmsg_fd >= 0 && m_kmsg_fd != fd) close(m_kmsg_fd);
  m_kmsg_fd = fd;
  m_log_level = level;
  m_fds[kKmsgSlot] = {fd, POLLIN, 0};
}

void SharedSession::HandleKmsg() {
  if (!m_kmsg_line.empty()) return;
  char record[kKmsgRecordBufferSize];
  const ssize_t got = read(m_kmsg_fd, record, sizeof record - 1);
  if (got == 0) {
    // The log has ended (the device never does this; another source may): stop relaying
    // rather than be woken by its end of file on every pass.
    close(m_kmsg_fd);
    m_kmsg_fd = -1;
    return;
  }
  if (got < 0) {
    if (errno == EAGAIN) return;  // nothing new after all
    if (errno == EINVAL) {
      m_kmsg_line = "{kmsg: Too long}\r\n";
    } else {
      m_kmsg_line = strprintf("{kmsg: %m}\r\n");
    }
    PushKmsgLine();
    return;
  }
  record[got] = '\0';
  m_kmsg_line = FormatKmsgRecord(record, m_log_level);
  if (!m_kmsg_line.empty()) PushKmsgLine();
}

// All of the waiting line goes into the output ring, or none of it.
void SharedSession::PushKmsgLine() {
  if (!m_output.PushAll(m_kmsg_line.data(), m_kmsg_line.size())) return;
  if (m_log) m_log->Take(m_kmsg_line.data(), m_kmsg_line.size());
  m_kmsg_line.clear();
}
