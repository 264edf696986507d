#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

PseudoTerminal::PseudoTerminal() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[64];
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
      ptsname_r(m_master, name, sizeof name) != 0)
    throw std::runtime_error("cannot open a pseudo-terminal");
  m_slave_path = name;
  m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slave < 0) throw std::runtime_error("cannot open the pseudo-terminal slave");
}

PseudoTerminal::~PseudoTerminal() {
  CloseSlave();
  if (m_master >= 0) close(m_master);
}

void PseudoTerminal::CloseSlave() {
  if (m_slave >= 0) close(m_slave);
  m_slave = -1;
}

std::string PseudoTerminal::ReadUntil(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string received;
  while (received.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd ready = {m_master, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, n);
  }
  return received;
}

void PseudoTerminal::Write(const std::string& text) {
  if (write(m_master, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("short write to a pseudo-terminal");
}
