// SPDX-License-Identifier: MIT
#include "session_socket.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

FileDescriptor CannotConnect(const char* path, int error) {
  std::fprintf(stderr, "ttyweave-attach: cannot connect to %s: %s\n", path, std::strerror(error));
  // The daemon lets in its socket's owner (mode 0700), and root: the main socket's owner, or the
  // viewers' socket's, or whoever owns the socket named.
  struct stat status;
  if ((error == EACCES || error == EPERM) && stat(path, &status) == 0) {
    if (const passwd* owner = getpwuid(status.st_uid)) {
      std::fprintf(stderr, "ttyweave-attach: the socket is for the user %s and root only\n",
                   owner->pw_name);
    } else {
      std::fprintf(stderr,
                   "ttyweave-attach: the socket is for the user with uid %u and root only\n",
                   static_cast<unsigned>(status.st_uid));
    }
  }
  return FileDescriptor();
}

}  // namespace

FileDescriptor ConnectToSession(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The path must fit with its terminating zero.
  if (std::strlen(path) >= sizeof address.sun_path) return CannotConnect(path, ENAMETOOLONG);
  std::strcpy(address.sun_path, path);

  FileDescriptor session(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!session.IsOpen()) return CannotConnect(path, errno);
  // Blocking, so that a daemon whose backlog is full is waited for rather than given up on.
  // The handled signals still have their default actions here, so no EINTR can come back
  // from a signal that should end the client; retry any other interruption.
  int connected;
  do {
    connected = connect(session.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected < 0 && errno == EINTR);
  if (connected < 0) return CannotConnect(path, errno);

  // Non-blocking from now on: keys are written to the session only as far as it takes them, so
  // the loop never waits on a daemon that is busy.
  const int flags = fcntl(session.Get(), F_GETFL);
  if (flags < 0 || fcntl(session.Get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    std::fprintf(stderr, "ttyweave-attach: fcntl (O_NONBLOCK on the session): %s\n",
                 std::strerror(errno));
    return FileDescriptor();
  }
  return session;
}
