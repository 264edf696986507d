// Throughput of a shared session: the flood program writes 64 MiB to its pseudo-terminal and the
// session carries it to 1 and to 7 network terminals, every byte of which is checked. Prints the
// rate per terminal, the session process's CPU time and the heap allocations inside its loop.
//
// Usage: session_throughput [MiB]   (run as root: the session runs in a private mount namespace)
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
#include "flood_pattern.h"
#include "flood_receiver.h"
#include "safe_fprintf.h"
#include "session_harness.h"
#include "shared_session.h"

namespace {

constexpr size_t kDefaultMebibytes = 64;
// Everything must be through well within this; only a broken session takes longer.
constexpr auto kTransferTimeout = std::chrono::minutes(5);

struct Figures {
  double seconds;
  double session_cpu_seconds;
  bool intact;
  std::string allocations;
};

Figures Run(size_t terminals, uint64_t bytes) {
  Sandbox sandbox;
  SessionOptions options({FLOOD_PROGRAM, std::to_string(bytes)});
  options.run_loop = [](SharedSession& session) {
    const size_t before = AllocationCount();
    session.RunSession();
    SafeFprintf(stderr, "allocations=%u\n", static_cast<unsigned>(AllocationCount() - before));
  };
  auto session = StartSession(sandbox, options);
  std::vector<std::unique_ptr<TerminalClient>> clients;
  std::vector<int> fds;
  for (size_t i = 0; i < terminals; ++i) {
    clients.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    if (!clients.back()->WaitFor(kFloodReadyLine))
      throw std::runtime_error("no terminal " + std::to_string(i));
    fds.push_back(clients.back()->Fd());
  }

  const double cpu_before = CpuSeconds(session->Pid());
  const auto started = std::chrono::steady_clock::now();
  clients[0]->Write(kFloodGoLine);
  const std::vector<FloodStream> streams =
      ReceiveFlood(fds, bytes, std::chrono::steady_clock::now() + kTransferTimeout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = CpuSeconds(session->Pid()) - cpu_before;
  clients[0]->Write(kFloodDoneLine);
  const std::optional<int> status = session->WaitExit(std::chrono::seconds(10));
  bool intact = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  for (const FloodStream& stream : streams) intact = intact && stream.checker.Intact();
  const std::string err = session->Stderr();
  const size_t at = err.find("allocations=");
  return {seconds, cpu, intact,
          at == std::string::npos ? "?" : err.substr(at + 12, err.find('\n', at) - at - 12)};
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : kDefaultMebibytes;
  const uint64_t bytes = static_cast<uint64_t>(mebibytes) << 20;
  std::printf("%-9s %8s %9s %10s %12s %14s %7s\n", "terminals", "MiB", "seconds", "MB/s",
              "session CPU", "allocations", "bytes");
  bool all_intact = true;
  for (const size_t terminals : {1, 7}) {
    const Figures figures = Run(terminals, bytes);
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
