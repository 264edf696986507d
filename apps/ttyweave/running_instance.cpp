// SPDX-License-Identifier: MIT
#include "running_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_descriptor.h"
#include "safe_fprintf.h"
#include "terminal_socket.h"

bool SocketAnswers(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  // Non-blocking: a listener whose backlog is full says EAGAIN at once instead of making us wait.
  const FileDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.IsOpen()) return false;
  return connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
         errno == EAGAIN;
}

bool AnotherInstanceRuns() {
  for (const char* path : {kListenerPath, kViewListenerPath}) {
    if (SocketAnswers(path)) {
      SafeFprintf(stderr, "ttyweave: Another ttyweave answers on %s: not starting\n", path);
      return true;
    }
  }
  return false;
}
