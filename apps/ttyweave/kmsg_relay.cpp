// Kernel log relay: records more urgent than the configured level become whole lines
// "{seconds.millis} message\r\n" in the output ring, in the same stream as the child's output.
// A line that does not fit waits, and no newer record is read until it has gone in.
#include <unistd.h>

#include <cerrno>

#include "kmsg_record.h"
#include "shared_session.h"
#include "string_operations.h"

namespace {

// The largest record /dev/kmsg hands out fits, with a terminating NUL after it.
constexpr size_t kKmsgRecordBufferSize = 4096;

}  // namespace

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
  if (m_output.PushAll(m_kmsg_line.data(), m_kmsg_line.size())) m_kmsg_line.clear();
}
