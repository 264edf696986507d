// The terminal table (poll slots 4 to 11, reader i of the output ring for terminal i) and the
// socket through which network terminals arrive.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "assertion_report.h"
#include "errno_exception.h"
#include "safe_fprintf.h"
#include "shared_session.h"
#include "string_operations.h"

namespace {

// Enough for any passwd line of this device.
constexpr size_t kPasswdBufferSize = 1024;
// Connections waiting for the loop's next pass; a login service connects one user at a time.
constexpr int kListenBacklog = 2;
constexpr mode_t kSocketMode = 0700;
// Applied around bind so that the socket file never exists with more access than its owner's.
constexpr mode_t kOwnerOnlyUmask = 077;

}  // namespace

uid_t LookupUserId(const char* name) {
  passwd entry;
  passwd* found = nullptr;
  char buffer[kPasswdBufferSize];
  const int error = getpwnam_r(name, &entry, buffer, sizeof buffer, &found);
  if (found != nullptr) return entry.pw_uid;
  if (error != 0) throw ErrnoException(error, "getpwnam");
  throw std::runtime_error(strprintf("User '%s'not found", name));
}

void SharedSession::StartListener() {
  const uid_t owner = LookupUserId(kListenerOwner);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kListenerPath, sizeof address.sun_path - 1);
  unlink(kListenerPath);  // left by an earlier run

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ErrnoException(errno, "socket");
  // The file's mode comes from the umask at bind: with the owner-only mask nobody else can
  // connect between bind and chown, whatever umask the daemon was started with.
  const mode_t started_umask = umask(kOwnerOnlyUmask);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_error = errno;
  umask(started_umask);
  const auto fail = [fd](int error, const char* operation) {
    close(fd);
    throw ErrnoException(error, operation);
  };
  if (bound < 0) fail(bind_error, "bind");
  if (listen(fd, kListenBacklog) < 0) fail(errno, "listen");
  if (chmod(kListenerPath, kSocketMode) < 0) fail(errno, "chmod");
  if (chown(kListenerPath, owner, static_cast<gid_t>(-1)) < 0) fail(errno, "fchown");
  m_fds[kListenerSlot] = {fd, POLLIN, 0};
}

void SharedSession::AddTerminal(int fd) {
  if (m_terminals >= kMaxTerminals) throw std::runtime_error("Too many terminals");
  TerminalSlot(m_terminals) = {fd, 0, 0};
  m_output.AddReader(static_cast<uint32_t>(m_terminals));
  ++m_terminals;
}

void SharedSession::RemoveTerminal(size_t index) {
  PLINTH_CHECK(m_terminals > 0);
  PLINTH_CHECK(index < m_terminals);
  close(TerminalFd(index));
  --m_terminals;
  m_output.RemoveReader(static_cast<uint32_t>(index));
  // Whole slots move, with the events poll returned for them in this pass.
  for (size_t i = index; i < m_terminals; ++i) TerminalSlot(i) = TerminalSlot(i + 1);
}

void SharedSession::AcceptConnection() {
  pollfd& listener = m_fds[kListenerSlot];
  const int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    SafeFprintf(stderr, "Accept failed: %s\n", std::strerror(errno));
    // A failure that lasts (out of descriptors) would find the connection still waiting at
    // once: the listener sits out the next poll, so it is retried only after other activity.
    listener.fd = ~listener.fd;
    return;
  }
  try {
    AddTerminal(fd);
  } catch (const std::exception& error) {
    const char* text = error.what();
    if (write(fd, text, std::strlen(text)) < 0) {
      // The refused client may be gone already; it is closed either way.
    }
    close(fd);
  }
}

// A parked terminal's slot holds the bitwise complement of its descriptor, which poll ignores.
int SharedSession::TerminalFd(size_t index) const {
  const int fd = m_fds[kFirstTerminalSlot + index].fd;
  return fd < 0 ? ~fd : fd;
}

void SharedSession::Park(size_t index) {
  if (!IsParked(index)) TerminalSlot(index).fd = ~TerminalSlot(index).fd;
}

void SharedSession::BackOffSerialConsole(size_t index) {
  m_serial_resume_time = std::chrono::steady_clock::now() + kSerialRetryInterval;
  Park(index);
}

// A terminal parked for a hang-up it reported while the input ring was full comes back when
// there is room to read its last bytes; the serial console after an error also waits out its
// back-off.
void SharedSession::ResumeParkedTerminals() {
  if (m_input.IsFull()) return;
  const auto now = std::chrono::steady_clock::now();
  for (size_t i = 0; i < m_terminals; ++i) {
    if (!IsParked(i)) continue;
    if (IsSerialConsole(i) && now < m_serial_resume_time) continue;
    TerminalSlot(i).fd = TerminalFd(i);
  }
}

// A parked serial console cannot drain its reader, and it is never disconnected: rather than
// hold the child back for all terminals, it loses the output it could not take.
void SharedSession::DropParkedConsoleBacklog() {
  for (size_t i = 0; i < m_terminals; ++i) {
    if (!IsParked(i) || !IsSerialConsole(i) || !m_output.IsFull(static_cast<uint32_t>(i))) continue;
    const uint32_t reader = static_cast<uint32_t>(i);
    while (!m_output.IsEmpty(reader))
      m_output.EndPop(reader, static_cast<int>(m_output.BeginPop(reader).size));
  }
}

// Milliseconds until a backed-off serial console is due again; -1 when none waits.
int SharedSession::SerialRetryTimeout() const {
  for (size_t i = 0; i < m_terminals; ++i) {
    if (!IsParked(i) || !IsSerialConsole(i)) continue;
    const auto left = m_serial_resume_time - std::chrono::steady_clock::now();
    if (left <= decltype(left)::zero()) return -1;
    // Rounded up, so that the console is due when poll returns.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }
  return -1;
}
