// SPDX-License-Identifier: MIT
#include "console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "errno_exception.h"
#include "safe_fprintf.h"
#include "terminal_mode.h"

namespace {

constexpr char kSerialConsole[] = "/dev/ttyS0";

}  // namespace

void SetupProcessGroup() {
  const pid_t pid = getpid();
  const pid_t session = getsid(pid);
  if (session != pid || getpgrp() != session) {
    if (getpgrp() == pid) throw std::runtime_error("Group leader but not a session leader");
    if (setsid() < 0) throw ErrnoException(errno, "setsid");
    // Linux refuses this for a fresh session leader (EPERM); setsid already made us the leader.
    if (setpgid(0, 0) < 0) SafeFprintf(stderr, "Failed to setpgid: %s\n", std::strerror(errno));
  }
  if (getpgrp() != getpid())
    SafeFprintf(stderr, "Parent is not a process group leader. That's bad\n");
}

bool ConfigureConsole() {
  if (isatty(0)) return true;
  // O_NOCTTY: serial-only mode takes the console as controlling terminal explicitly.
  const int fd = open(kSerialConsole, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    SafeFprintf(stderr, "Failed to open console %s: %s\n", kSerialConsole, std::strerror(errno));
    return false;
  }
  ConfigureSerialPort(fd);
  SetRawMode(fd);
  if (dup2(fd, 0) < 0) {
    std::perror("dup2 stdin");
    return false;
  }
  if (dup2(fd, 1) < 0) {
    std::perror("dup2 stdout");
    return false;
  }
  // The console now lives on 0 and 1; unless open gave one of those, its first descriptor goes.
  if (fd > 1) close(fd);
  return true;
}

void ConfigureSerialPort(int fd) {
  struct termios settings;
  if (tcgetattr(fd, &settings) != 0) {
    SafeFprintf(stderr, "Failed to get serial configuration: %s\n", std::strerror(errno));
    return;
  }
  settings.c_iflag = BRKINT | ICRNL | IMAXBEL;
  settings.c_oflag = OPOST | ONLCR;
  settings.c_cflag = (settings.c_cflag & ~(CSIZE | CSTOPB | PARENB)) | CS8;
  settings.c_lflag &= ~(ICANON | ECHO | IEXTEN);
  if (cfsetispeed(&settings, B115200) != 0)
    SafeFprintf(stderr, "Failed to set serial ispeed: %s\n", std::strerror(errno));
  if (cfsetospeed(&settings, B115200) != 0)
    SafeFprintf(stderr, "Failed to set serial ospeed: %s\n", std::strerror(errno));
  if (tcsetattr(fd, TCSANOW, &settings) != 0)
    SafeFprintf(stderr, "Failed to configure serial port: %s\n", std::strerror(errno));
}
