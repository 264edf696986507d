// Throughput of a shared session: a child writes 64 MiB to its pseudo-terminal and the session
// carries it to 1 and to 7 network terminals, every byte of which is checked. Prints the rate
// per terminal, the session process's CPU time and the heap allocations inside its loop.
//
// Usage: session_throughput [MiB]   (run as root: the session runs in a private mount namespace)
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "safe_fprintf.h"
#include "session_harness.h"
#include "shared_session.h"

namespace {

constexpr char kGenerateMode[] = "--generate";
constexpr size_t kDefaultMebibytes = 64;
constexpr size_t kGeneratorChunk = 65536;
// Everything must be through well within this; only a broken session takes longer.
constexpr auto kTransferTimeout = std::chrono::minutes(5);

// The byte at `position` of the child's output: a different value sequence at every offset, so
// that a lost, repeated or misplaced chunk of any size shows.
uint8_t PatternByte(uint64_t position) {
  return static_cast<uint8_t>((position * 0x9E3779B97F4A7C15ULL) >> 56);
}

// Reads standard input up to a newline.
bool ReadLine() {
  char byte;
  while (read(0, &byte, 1) == 1)
    if (byte == '\n') return true;
  return false;
}

// The child program: "ready", then on a line from its terminal the pattern, then waits for a
// last line before it exits (so that its output is all delivered before the session ends).
int Generate(uint64_t bytes) {
  if (write(1, "ready\n", 6) != 6 || !ReadLine()) return 1;
  std::vector<uint8_t> chunk(kGeneratorChunk);
  for (uint64_t position = 0; position < bytes;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - position));
    for (size_t i = 0; i < length; ++i) chunk[i] = PatternByte(position + i);
    for (size_t done = 0; done < length;) {
      const ssize_t n = write(1, chunk.data() + done, length - done);
      if (n <= 0) return 1;
      done += n;
    }
    position += length;
  }
  return ReadLine() ? 0 : 1;
}

// One network terminal of the benchmark: checks each byte as it arrives.
struct CheckingTerminal {
  int fd;
  uint64_t received = 0;
  bool intact = true;
};

struct Figures {
  double seconds;
  double session_cpu_seconds;
  bool intact;
  std::string allocations;
};

Figures Run(const std::string& self, size_t terminals, uint64_t bytes) {
  Sandbox sandbox;
  SessionOptions options({self, kGenerateMode, std::to_string(bytes)});
  options.run_loop = [](SharedSession& session) {
    const size_t before = AllocationCount();
    session.RunSession();
    SafeFprintf(stderr, "allocations=%u\n", static_cast<unsigned>(AllocationCount() - before));
  };
  auto session = StartSession(sandbox, options);
  std::vector<std::unique_ptr<TerminalClient>> clients;
  for (size_t i = 0; i < terminals; ++i) {
    clients.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    if (!clients.back()->WaitFor("ready\n"))
      throw std::runtime_error("no terminal " + std::to_string(i));
  }
  std::vector<CheckingTerminal> checking;
  for (auto& client : clients) checking.push_back({client->Fd()});

  const double cpu_before = CpuSeconds(session->Pid());
  const auto started = std::chrono::steady_clock::now();
  clients[0]->Write("go\n");
  std::vector<uint8_t> buffer(1 << 16);
  size_t done = 0;
  while (done < terminals) {
    if (std::chrono::steady_clock::now() - started > kTransferTimeout)
      throw std::runtime_error("transfer timed out");
    std::vector<pollfd> fds;
    for (auto& terminal : checking) fds.push_back({terminal.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 1000);
    for (size_t i = 0; i < checking.size(); ++i) {
      CheckingTerminal& terminal = checking[i];
      if (!(fds[i].revents & (POLLIN | POLLHUP)) || terminal.received == bytes) continue;
      const ssize_t n = read(terminal.fd, buffer.data(), buffer.size());
      if (n <= 0) throw std::runtime_error("terminal " + std::to_string(i) + " ended early");
      for (ssize_t k = 0; k < n; ++k)
        terminal.intact = terminal.intact && buffer[k] == PatternByte(terminal.received + k);
      terminal.received += n;
      if (terminal.received > bytes) terminal.intact = false;
      if (terminal.received >= bytes) ++done;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = CpuSeconds(session->Pid()) - cpu_before;
  clients[0]->Write("done\n");
  const std::optional<int> status = session->WaitExit(std::chrono::seconds(10));
  bool intact = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  for (const auto& terminal : checking) intact = intact && terminal.intact;
  const std::string err = session->Stderr();
  const size_t at = err.find("allocations=");
  return {seconds, cpu, intact,
          at == std::string::npos ? "?" : err.substr(at + 12, err.find('\n', at) - at - 12)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kGenerateMode) == 0)
    return Generate(std::strtoull(argv[2], nullptr, 10));
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : kDefaultMebibytes;
  const uint64_t bytes = static_cast<uint64_t>(mebibytes) << 20;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  self[length] = '\0';

  std::printf("%-9s %8s %9s %10s %12s %14s %7s\n", "terminals", "MiB", "seconds", "MB/s",
              "session CPU", "allocations", "bytes");
  bool all_intact = true;
  for (const size_t terminals : {1, 7}) {
    const Figures figures = Run(self, terminals, bytes);
    all_intact = all_intact && figures.intact;
    std::printf("%-9zu %8zu %9.2f %10.1f %11.2fs %14s %7s\n", terminals, mebibytes, figures.seconds,
                static_cast<double>(bytes) / 1e6 / figures.seconds, figures.session_cpu_seconds,
                figures.allocations.c_str(), figures.intact ? "intact" : "BROKEN");
    std::fflush(stdout);
  }
  std::printf(
      "MB/s is each terminal's rate (10^6 bytes per second); session CPU is the session\n"
      "process's user and system time during the transfer; allocations are counted inside\n"
      "its RunSession.\n");
  return all_intact ? 0 : 1;
}
