#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A network terminal: one connection to the session's socket. Reads wait on conditions with
// deadlines and keep everything received.
class TerminalClient {
 public:
  explicit TerminalClient(const std::string& socket_path);
  ~TerminalClient();
  TerminalClient(const TerminalClient&) = delete;
  TerminalClient& operator=(const TerminalClient&) = delete;

  int Fd() const { return m_fd; }
  void Write(const std::string& bytes);
  // Read until what has arrived contains `text` / holds `count` bytes / ended; false on time-out.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = kDefaultTimeout);
  bool WaitForBytes(size_t count, std::chrono::milliseconds timeout = kDefaultTimeout);
  bool WaitForEnd(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Takes what is readable now without waiting; false once the connection has ended.
  bool ReadAvailable();
  const std::string& Received() const { return m_received; }
  bool Ended() const { return m_ended; }
  void Close();

  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

 private:
  bool ReadOnce(int timeout_ms);
  template <typename Done>
  bool ReadUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || m_ended) return done();
      ReadOnce(static_cast<int>(left.count()));
    }
    return true;
  }

  int m_fd;
  std::string m_received;
  bool m_ended = false;
};

// Reads from all `clients` at once (so none is held up by the others) until each has received
// at least `count` bytes; false after the time-out.
bool WaitForBytesOnAll(const std::vector<TerminalClient*>& clients, size_t count,
                       std::chrono::milliseconds timeout = TerminalClient::kDefaultTimeout);

// Deterministic bytes of every value, different for each seed.
std::string PatternBytes(size_t count, uint64_t seed);
