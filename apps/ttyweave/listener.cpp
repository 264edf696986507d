// SPDX-License-Identifier: MIT
#include "listener.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "errno_exception.h"
#include "network_terminal.h"
#include "running_instance.h"
#include "safe_fprintf.h"
#include "string_operations.h"

namespace {

// Where the C library gives no size: most passwd lines fit, and a longer one doubles the buffer.
constexpr size_t kFallbackPasswdBufferSize = 1024;
// A passwd line longer than this is no user's.
constexpr size_t kMaxPasswdBufferSize = 1 << 20;
// Connections waiting for the loop's next pass; a login service connects one user at a time.
constexpr int kListenBacklog = 2;
constexpr mode_t kSocketMode = 0700;
// Applied around bind so that the socket file never exists with more access than its owner's.
constexpr mode_t kOwnerOnlyUmask = 077;

}  // namespace

uid_t LookupUserId(const char* name) {
  passwd entry;
  passwd* found = nullptr;
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested)
                                         : kFallbackPasswdBufferSize);
  int error;
  // ERANGE: some line of the file (not necessarily the user's) did not fit.
  while ((error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMaxPasswdBufferSize)
    buffer.resize(buffer.size() * 2);
  if (found != nullptr) return entry.pw_uid;
  if (error != 0) throw ErrnoException(error, "getpwnam");
  throw std::runtime_error(strprintf("User '%s'not found", name));
}

void Listener::Start(const char* path, const char* owner_name) {
  const uid_t owner = LookupUserId(owner_name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  // A daemon that still answers there would lose its terminals: only a file left by a daemon
  // that is gone is removed.
  if (SocketAnswers(path))
    throw std::runtime_error(strprintf("Another ttyweave answers on %s", path));
  unlink(path);

  FileDescriptor socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = socket_fd.Get();
  if (fd < 0) throw ErrnoException(errno, "socket");
  // The file's mode comes from the umask at bind: with the owner-only mask nobody else can
  // connect between bind and chown, whatever umask the daemon was started with.
  const mode_t started_umask = umask(kOwnerOnlyUmask);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_error = errno;
  umask(started_umask);
  if (bound < 0) throw ErrnoException(bind_error, "bind");
  if (listen(fd, kListenBacklog) < 0) throw ErrnoException(errno, "listen");
  if (chmod(path, kSocketMode) < 0) throw ErrnoException(errno, "chmod");
  // "fchown": the name the device's log tooling knows this step by, though it is a chown.
  if (chown(path, owner, static_cast<gid_t>(-1)) < 0) throw ErrnoException(errno, "fchown");
  m_fd = std::move(socket_fd);
}

FileDescriptor Listener::Accept(Clock::time_point now, Peer* peer) {
  FileDescriptor connection(accept4(m_fd.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!connection.IsOpen()) {
    const int error = errno;
    // Said once while the same failure lasts: it is retried every kAcceptRetryDelay.
    if (error != m_last_error) SafeFprintf(stderr, "Accept failed: %s\n", std::strerror(error));
    m_last_error = error;
    // A failure that lasts (out of descriptors) would find the connection still waiting at once:
    // the listener rests, and is tried again after a short delay whatever else happens.
    m_retry_at = now + kAcceptRetryDelay;
    return connection;
  }
  m_last_error = 0;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &credentials,
             &length);  // zeros if it fails
  *peer = {credentials.uid, credentials.pid};
  return connection;
}

std::unique_ptr<Terminal> Listener::MakeTerminal(FileDescriptor connection, unsigned number,
                                                 Peer peer, OutputRing& output,
                                                 InputRing& input) const {
  if (m_kind == Kind::kNetwork)
    return std::make_unique<NetworkTerminal>(std::move(connection), number, peer, output, input);
  return std::make_unique<Viewer>(std::move(connection), number, peer, output, input);
}

void Listener::Expire(Clock::time_point now) {
  if (m_retry_at && now >= *m_retry_at) m_retry_at.reset();
}
