#include "terminal_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "wait_until.h"

TerminalClient::TerminalClient(const std::string& socket_path)
    : m_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (m_fd < 0) throw std::runtime_error("socket failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  // The listener may not exist yet: the session is starting in its own process.
  const bool connected = WaitUntil([&] {
    return connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  });
  if (!connected) {
    close(m_fd);
    throw std::runtime_error("cannot connect to " + socket_path + ": " + std::strerror(errno));
  }
}

TerminalClient::~TerminalClient() { Close(); }

void TerminalClient::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

void TerminalClient::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
    done += n;
  }
}

bool TerminalClient::ReadOnce(int timeout_ms) {
  pollfd ready = {m_fd, POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) <= 0) return true;
  char buffer[65536];
  const ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n > 0) {
    m_received.append(buffer, n);
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  m_ended = true;
  return false;
}

bool TerminalClient::ReadAvailable() {
  while (!m_ended) {
    const size_t before = m_received.size();
    if (!ReadOnce(0) || m_received.size() == before) break;
  }
  return !m_ended;
}

bool TerminalClient::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  return ReadUntil([&] { return m_received.find(text) != std::string::npos; }, timeout);
}

bool TerminalClient::WaitForBytes(size_t count, std::chrono::milliseconds timeout) {
  return ReadUntil([&] { return m_received.size() >= count; }, timeout);
}

bool TerminalClient::WaitForEnd(std::chrono::milliseconds timeout) {
  return ReadUntil([&] { return m_ended; }, timeout);
}

bool WaitForBytesOnAll(const std::vector<TerminalClient*>& clients, size_t count,
                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<pollfd> waiting;
    for (TerminalClient* client : clients)
      if (client->Received().size() < count && !client->Ended())
        waiting.push_back({client->Fd(), POLLIN, 0});
    if (waiting.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    poll(waiting.data(), waiting.size(), static_cast<int>(left.count()));
    for (TerminalClient* client : clients) client->ReadAvailable();
  }
  for (TerminalClient* client : clients)
    if (client->Received().size() < count) return false;
  return true;
}

std::string PatternBytes(size_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}
