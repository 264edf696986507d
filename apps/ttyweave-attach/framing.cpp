// SPDX-License-Identifier: MIT
#include "framing.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "file_descriptor.h"
#include "system_call_error.h"

std::optional<WindowSize> TerminalWindowSize(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) < 0 || size.ws_col == 0 || size.ws_row == 0) return std::nullopt;
  return WindowSize{size.ws_col, size.ws_row};
}

ssize_t SendMarked(int session_fd, const void* data, size_t size) {
  // Releasing it does nothing and it holds nothing open, should it ever be kept.
  const FileDescriptor marker(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!marker.IsOpen()) throw SystemCallError("open (/dev/null)", errno);
  const int passed = marker.Get();

  iovec bytes{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof passed)] = {};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* const header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof passed);
  std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
  return sendmsg(session_fd, &message, MSG_NOSIGNAL);
}
