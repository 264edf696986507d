// SPDX-License-Identifier: MIT
#include "terminal_mode.h"

#include <termios.h>

int SetRawMode(int fd) {
  struct termios settings;
  const int got = tcgetattr(fd, &settings);
  if (got != 0) return got;
  cfmakeraw(&settings);
  return tcsetattr(fd, TCSADRAIN, &settings);
}
