// SPDX-License-Identifier: MIT
#include "quiet_kernel_console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "errno_exception.h"
#include "file_descriptor.h"
#include "safe_fprintf.h"
#include "write_file.h"

namespace {

constexpr char kConsoleLogLevelFile[] = "/proc/sys/kernel/printk";
// The kernel's console log level that prints nothing on the console.
constexpr char kConsoleLoggingOff[] = "0";
// The mode WriteFile would create a missing file with: the kernel's file always exists, so it
// never applies.
constexpr mode_t kConsoleLogLevelFileMode = 0777;
// Root's folder for what lasts until the next boot, and the name the level is kept under in it.
constexpr char kRunFolder[] = "/run";
constexpr char kKeptLevelName[] = "ttyweave-console-level";
constexpr mode_t kKeptLevelMode = 0600;
// A console level is a number of one or two digits; a longer file is not ours.
constexpr size_t kKeptLevelLimit = 16;

// The level a session that did not end cleanly kept: only from a regular file of root's that
// holds nothing but a number (anything else was not written by the daemon).
std::optional<std::string> ReadKeptLevel(int folder) {
  const FileDescriptor fd(
      openat(folder, kKeptLevelName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.IsOpen()) return std::nullopt;
  struct stat found {};
  char text[kKeptLevelLimit];
  ssize_t got = -1;
  if (fstat(fd.Get(), &found) == 0 && S_ISREG(found.st_mode) && found.st_uid == 0)
    got = read(fd.Get(), text, sizeof text);
  if (got <= 0 || static_cast<size_t>(got) == sizeof text) return std::nullopt;
  std::string level(text, static_cast<size_t>(got));
  if (level.back() == '\n') level.pop_back();
  if (level.empty() || level.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return level;
}

// Replaces whatever the name holds by a new file of root's with `level`. Throws ErrnoException.
void KeepLevel(int folder, const std::string& level) {
  if (unlinkat(folder, kKeptLevelName, 0) < 0 && errno != ENOENT)
    throw ErrnoException(errno, kKeptLevelName);
  FileDescriptor fd(openat(folder, kKeptLevelName,
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kKeptLevelMode));
  if (!fd.IsOpen()) throw ErrnoException(errno, kKeptLevelName);
  const std::string text = level + "\n";
  const ssize_t written = write(fd.Get(), text.data(), text.size());
  const int error = errno;
  fd.Reset();
  if (written != static_cast<ssize_t>(text.size()))
    throw ErrnoException(written < 0 ? error : EIO, kKeptLevelName);
}

}  // namespace

QuietKernelConsole::QuietKernelConsole() {
  std::ifstream file(kConsoleLogLevelFile);
  if (!file.is_open()) throw ErrnoException(errno, kConsoleLogLevelFile);
  // The kernel takes one number as the new console level and leaves the other three alone.
  if (!(file >> m_level))
    throw std::runtime_error("No console log level in /proc/sys/kernel/printk");
  m_run_folder.Reset(open(kRunFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // 0 is what a killed session leaves behind; any other level was set since, and is the one to
  // put back.
  const std::optional<std::string> kept =
      m_run_folder.IsOpen() ? ReadKeptLevel(m_run_folder.Get()) : std::nullopt;
  if (kept && m_level == kConsoleLoggingOff) {
    m_level = *kept;
  } else {
    try {
      if (!m_run_folder.IsOpen()) throw ErrnoException(errno, kRunFolder);
      KeepLevel(m_run_folder.Get(), m_level);
    } catch (const std::exception& error) {
      // Turned down all the same: only a killed session would then lose the level.
      SafeFprintf(stderr, "ttyweave: Unable to keep the kernel's console log level: %s\n",
                  error.what());
    }
  }
  // A failure leaves nothing turned down; a kept level stays true.
  WriteFile(kConsoleLogLevelFile, kConsoleLoggingOff, kConsoleLogLevelFileMode);
}

QuietKernelConsole::~QuietKernelConsole() {
  try {
    WriteFile(kConsoleLogLevelFile, m_level, kConsoleLogLevelFileMode);
    if (m_run_folder.IsOpen()) unlinkat(m_run_folder.Get(), kKeptLevelName, 0);
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "ttyweave: Unable to restore the kernel's console log level: %s\n",
                error.what());
  }
}
