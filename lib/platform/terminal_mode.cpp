// SPDX-License-Identifier: MIT
#include "terminal_mode.h"

void MakeRaw(termios* settings, LineSettings line) {
  settings->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY);
  settings->c_oflag &= ~OPOST;
  settings->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  if (line == LineSettings::kEightBitsNoParity) {
    settings->c_cflag &= ~(CSIZE | PARENB);
    settings->c_cflag |= CS8;
  }
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
}

int SetRawMode(int fd) {
  termios settings;
  const int got = tcgetattr(fd, &settings);
  if (got != 0) return got;
  MakeRaw(&settings, LineSettings::kEightBitsNoParity);
  return tcsetattr(fd, TCSADRAIN, &settings);
}
