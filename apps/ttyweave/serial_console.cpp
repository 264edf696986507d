// SPDX-License-Identifier: MIT
#include "serial_console.h"

#include <unistd.h>

#include <cstring>

#include "safe_fprintf.h"

SerialConsole::SerialConsole(OutputRing& output, InputRing& input)
    : Terminal(FileDescriptor(STDIN_FILENO), kNumber, Peer{}, output, input) {}

SerialConsole::~SerialConsole() { m_fd.Release(); }

// A failed console that would hold the program back drops what it holds first.
void SerialConsole::PreparePass() {
  if (m_failed && HoldsOutputBack()) DropBacklog();
  Terminal::PreparePass();
}

std::optional<Terminal::Clock::time_point> SerialConsole::Deadline(bool /*final_output*/) const {
  std::optional<Clock::time_point> earliest;
  if (!m_failed && m_idle_since) earliest = *m_idle_since + kStalledTerminalTimeout;
  if (m_rest == Rest::kAfterError && (!earliest || *m_resume_time < *earliest))
    earliest = m_resume_time;
  return earliest;
}

// One that takes nothing for kStalledTerminalTimeout is treated as failed; after an error it
// comes back once its back-off is over.
Terminal::Outcome SerialConsole::Expire(Clock::time_point now, size_t /*position*/,
                                        bool /*final_output*/) {
  if (!m_failed && Over(m_idle_since, kStalledTerminalTimeout, now) && HasOutputWaiting()) {
    SafeFprintf(stderr, "ttyweave: Serial terminal stalled\n");
    m_failed = true;
    m_idle_since.reset();
    DropBacklog();
  }
  if (m_rest == Rest::kAfterError && now >= *m_resume_time) m_rest = Rest::kNone;
  return Outcome::kServed;
}

Terminal::Outcome SerialConsole::ConnectionError(size_t /*position*/) {
  SafeFprintf(stderr, "ttyweave: Serial terminal error\n");
  return Outcome::kFailed;
}

Terminal::Outcome SerialConsole::EndOfFile() {
  SafeFprintf(stderr, "ttyweave: EOF on serial terminal\n");
  return Outcome::kSessionLost;
}

Terminal::Outcome SerialConsole::ReadFailed(int error, size_t /*position*/) {
  SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on read\n", std::strerror(error));
  return Outcome::kFailed;
}

Terminal::Outcome SerialConsole::WriteFailed(int error, size_t /*position*/) {
  SafeFprintf(stderr, "ttyweave: Ignoring serial terminal '%s' on write\n", std::strerror(error));
  return Outcome::kFailed;
}

void SerialConsole::TookOutput() {
  m_failed = false;
  if (m_lost_bytes == 0) return;
  SafeFprintf(stderr, "ttyweave: Serial console lost %lu bytes of output while it failed\n",
              static_cast<unsigned long>(m_lost_bytes));
  m_lost_bytes = 0;
}

void SerialConsole::RestAfterError() {
  m_failed = true;
  m_resume_time = Clock::now() + kSerialRetryInterval;
  RestFor(Rest::kAfterError);
}

void SerialConsole::DropBacklog() {
  const ByteSpans backlog = m_output.BeginPop(m_reader);
  m_output.EndPop(m_reader, static_cast<int>(backlog.size));
  m_lost_bytes += backlog.size;
}
