// Kernel log relay: records more urgent than the configured level become whole lines
// "{seconds.millis} message\r\n" in the output ring, in the same stream as the child's output.
// A line that does not fit waits, and no newer record is read until it has gone in.
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "shared_session.h"
#include "string_operations.h"

namespace {

// The largest record /dev/kmsg hands out fits, with a terminating NUL after it.
constexpr size_t kKmsgRecordBufferSize = 4096;
constexpr uint32_t kSeverityMask = 7;
constexpr uint64_t kMicrosecondsPerSecond = 1000000;
constexpr uint64_t kMicrosecondsPerMillisecond = 1000;

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
  try {
    FormatKmsgRecord(record);
  } catch (const std::exception& error) {
    m_kmsg_line = std::string("ERROR parsing kmsg: ") + error.what();
  } catch (...) {
    m_kmsg_line = "ERROR parsing kmsg: Unknown exception";
  }
  if (!m_kmsg_line.empty()) PushKmsgLine();
}

// Record: "<priority>,<sequence>,<microseconds>,<flags>[,...];<message>\n[ KEY=value\n...]".
// Leaves the relayed line in m_kmsg_line, or nothing for a record below the level.
void SharedSession::FormatKmsgRecord(char* record) {
  char* end_of_line = std::strchr(record, '\n');
  if (end_of_line == nullptr) throw std::runtime_error("Failed to find EOL in kmsg");
  *end_of_line = '\0';  // continuation lines are not relayed
  char* semicolon = std::strchr(record, ';');
  if (semicolon == nullptr) throw std::runtime_error("Failed to find semicolon in kmsg");
  *semicolon = '\0';
  const char* message = semicolon + 1;

  using Fields = boost::tokenizer<boost::char_separator<char>>;
  const std::string prefix(record);
  const Fields fields(prefix, boost::char_separator<char>(","));
  Fields::const_iterator field = fields.begin();
  const auto next_field = [&field, &fields](bool advance) {
    if (advance) ++field;
    if (field == fields.end()) throw std::runtime_error("kmsg format error");
    return *field;
  };
  const uint32_t severity = boost::lexical_cast<uint32_t>(next_field(false)) & kSeverityMask;
  if (m_log_level <= severity) return;                    // later fields are not even looked at
  (void)boost::lexical_cast<uint64_t>(next_field(true));  // sequence number: must be a number
  const uint64_t timestamp = boost::lexical_cast<uint64_t>(next_field(true));
  next_field(true);  // flags: must be there
  m_kmsg_line = strprintf(
      "{%5lu.%03lu} %s\r\n", static_cast<unsigned long>(timestamp / kMicrosecondsPerSecond),
      static_cast<unsigned long>(timestamp % kMicrosecondsPerSecond / kMicrosecondsPerMillisecond),
      message);
}

// All of the waiting line goes into the output ring, or none of it.
void SharedSession::PushKmsgLine() {
  if (m_output.PushAll(m_kmsg_line.data(), m_kmsg_line.size())) m_kmsg_line.clear();
}
