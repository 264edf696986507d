#pragma once

#include <string>

// Reads the real kernel log from the moment it is built: records logged earlier are skipped.
class KernelLogReader {
 public:
  KernelLogReader();
  ~KernelLogReader();
  KernelLogReader(const KernelLogReader&) = delete;
  KernelLogReader& operator=(const KernelLogReader&) = delete;

  // The first new record (as the device gives it: prefix, ';', text, properties) whose text
  // contains `marker`; empty after the time-out.
  std::string WaitFor(const std::string& marker, int timeout_ms = 5000);

 private:
  int m_fd;
};

// Writes one record at the given priority to the real kernel log.
void WriteKernelLog(int priority, const std::string& text);

// A text that no other record holds: ties a record to the test that wrote it.
std::string UniqueMarker(const std::string& stem);

// In the calling process's own mount namespace, makes "/dev/kmsg" impossible to open for
// writing, so that reports fall back to standard error. Call only in a child process.
bool HideKernelLogForWriting();
