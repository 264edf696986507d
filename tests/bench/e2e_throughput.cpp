// End-to-end throughput of the daemon binary. A Registry service enables network terminals, the
// daemon runs the flood program in a sandbox, and 1, 4 and 7 network terminals (then the same
// with a pseudo-terminal as the serial console taking part) each receive the whole flood, every
// byte checked as it comes. Beside it, the baseline: the same flood read straight from a raw
// pseudo-terminal's master by this program, with no daemon in between. (A reader that goes back
// to the master at once gets less per read than one that does some work between reads, as the
// daemon does: on some machines the daemon carries more to one terminal than this baseline.)
//
// Usage: e2e_throughput [MiB]   (as root: the daemon runs in a private mount namespace)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
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

#include "child_process.h"
#include "dbus_bus.h"
#include "flood_pattern.h"
#include "flood_receiver.h"
#include "process_probe.h"
#include "pseudo_terminal.h"
#include "sandbox.h"
#include "terminal_client.h"

namespace {

constexpr size_t kDefaultMebibytes = 64;
constexpr size_t kNetworkTerminalCounts[] = {1, 4, 7};
// A run's transfer deadline: start-up allowance plus the bytes at a rate far below anything a
// working daemon reaches on a loaded machine, so that only a hang or lost bytes run into it.
constexpr auto kTransferAllowance = std::chrono::seconds(10);
constexpr double kSlowestCredibleBytesPerSecond = 2e6;
// How long the daemon (or the baseline's flood program) may take to end after the last line: it
// delivers its last output for at most a second.
constexpr auto kExitTimeout = std::chrono::seconds(10);

const RegistrySettings kNetworkOnly = {{"networking", {{"telnet", "23"}}}};
const RegistrySettings kNetworkAndConsole = {
    {"networking", {{"telnet", "23"}, {"serial_with_telnet", "1"}}}};

constexpr char kBaselineLabel[] = "no daemon (pty master)";

const char* FloodProgram() { return FLOOD_PROGRAM; }

// What one run measured; the CPU figures cover the transfer alone (from "go" to the last byte).
struct RunFigures {
  std::string label;
  std::string terminals;
  size_t streams = 0;  // how many terminals received the flood
  double wall_seconds = 0;
  std::optional<double> daemon_cpu_seconds;  // none without a daemon, or when it was gone
  std::optional<double> flood_cpu_seconds;
  double reader_cpu_seconds = 0;
  std::vector<std::string> problems;  // empty when every byte arrived and everything ended well
};

// User plus system CPU time of this process (the benchmark reading and checking) so far.
double OwnCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) throw std::runtime_error("getrusage failed");
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::chrono::steady_clock::time_point TransferDeadline(uint64_t bytes) {
  return std::chrono::steady_clock::now() + kTransferAllowance +
         std::chrono::seconds(static_cast<long>(bytes / kSlowestCredibleBytesPerSecond));
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

// CPU seconds a process has used so far; nothing when it is gone.
std::optional<double> CpuSecondsIfRunning(pid_t pid) {
  try {
    return CpuSeconds(pid);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// CPU seconds used so far by the daemon (when there is one), the flood program and this program.
struct CpuSample {
  std::optional<double> daemon;
  std::optional<double> flood;
  double reader;
};

CpuSample SampleCpu(std::optional<pid_t> daemon, pid_t flood) {
  return {daemon ? CpuSecondsIfRunning(*daemon) : std::nullopt, CpuSecondsIfRunning(flood),
          OwnCpuSeconds()};
}

std::optional<double> Difference(const std::optional<double>& before,
                                 const std::optional<double>& after) {
  if (!before || !after) return std::nullopt;
  return *after - *before;
}

// Takes in the figures of a transfer: its wall time (to the last byte, or to the give-up when
// bytes are missing), the CPU used, and every stream that did not bring exactly the flood.
void RecordTransfer(RunFigures& figures, const std::vector<FloodStream>& streams,
                    const std::vector<std::string>& names, uint64_t bytes,
                    std::chrono::steady_clock::time_point started, const CpuSample& before,
                    const CpuSample& after) {
  auto finished = std::chrono::steady_clock::now();
  bool complete = true;
  for (const FloodStream& stream : streams) complete = complete && stream.checker.Complete();
  if (complete) {
    finished = started;
    for (const FloodStream& stream : streams) finished = std::max(finished, stream.completed_at);
  }
  figures.streams = streams.size();
  figures.wall_seconds = std::chrono::duration<double>(finished - started).count();
  figures.daemon_cpu_seconds = Difference(before.daemon, after.daemon);
  figures.flood_cpu_seconds = Difference(before.flood, after.flood);
  figures.reader_cpu_seconds = after.reader - before.reader;
  if (before.daemon && !after.daemon) figures.problems.push_back("the daemon ended early");
  if (!after.flood) figures.problems.push_back("the flood program ended early");
  for (size_t i = 0; i < streams.size(); ++i) {
    const FloodPatternChecker& checker = streams[i].checker;
    if (checker.Intact()) continue;
    std::string problem = names[i] + ": " + std::to_string(checker.Received()) + " of " +
                          std::to_string(bytes) + " bytes";
    if (checker.FirstMismatch())
      problem += ", first wrong byte at offset " + std::to_string(*checker.FirstMismatch());
    if (streams[i].ended_early) problem += ", ended early";
    if (!checker.Complete() && !streams[i].ended_early) problem += ", deadline passed";
    figures.problems.push_back(problem);
  }
}

void RecordExit(RunFigures& figures, const char* who, const std::optional<int>& status) {
  if (!status) {
    figures.problems.push_back(std::string(who) + " did not end after the last line");
  } else if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    figures.problems.push_back(std::string(who) + " ended with wait status " +
                               std::to_string(*status));
  }
}

// The flood program run by the benchmark itself on a pseudo-terminal; stopped (by pid) unless
// it has been waited for.
class FloodChild {
 public:
  FloodChild(uint64_t bytes, int terminal) {
    const std::string count = std::to_string(bytes);
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
      // Its own session, so that it never reads from or stops on the benchmark's terminal.
      if (setsid() < 0 || dup2(terminal, 0) < 0 || dup2(terminal, 1) < 0) _exit(126);
      execl(FloodProgram(), FloodProgram(), count.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~FloodChild() {
    if (!m_reaped) StopProcess(m_pid);
  }
  FloodChild(const FloodChild&) = delete;
  FloodChild& operator=(const FloodChild&) = delete;

  pid_t Pid() const { return m_pid; }
  // Its wait status, or nothing when it has not ended within the time-out.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout) {
    std::optional<int> status = ::WaitExit(m_pid, timeout);
    m_reaped = status.has_value();
    return status;
  }

 private:
  pid_t m_pid = -1;
  bool m_reaped = false;
};

// The flood read from a raw pseudo-terminal's master by the benchmark: no daemon in between.
RunFigures MeasureBaseline(uint64_t bytes) {
  RunFigures figures;
  figures.label = kBaselineLabel;
  figures.terminals = "1";
  PseudoTerminal terminal;
  MakeRaw(terminal.Slave());
  FloodChild flood(bytes, terminal.Slave());
  const std::string greeting = terminal.ReadUntil(kFloodReadyLine);
  if (greeting != kFloodReadyLine)
    throw std::runtime_error("the flood program said \"" + greeting + "\" instead of ready");

  const CpuSample before = SampleCpu(std::nullopt, flood.Pid());
  const auto started = std::chrono::steady_clock::now();
  terminal.Write(kFloodGoLine);
  const auto streams = ReceiveFlood({terminal.Master()}, bytes, TransferDeadline(bytes));
  RecordTransfer(figures, streams, {"pty master"}, bytes, started, before,
                 SampleCpu(std::nullopt, flood.Pid()));
  terminal.Write(kFloodDoneLine);
  RecordExit(figures, "the flood program", flood.WaitExit(kExitTimeout));
  return figures;
}

std::string RunLabel(bool console) {
  return console ? "daemon, network + console" : "daemon, network terminals";
}

// The daemon in a sandbox running the flood program, with `network_terminals` connected over
// the socket and, when `console` is set, a raw pseudo-terminal as its serial console. The
// Registry service with the matching settings must be running.
RunFigures MeasureDaemon(uint64_t bytes, size_t network_terminals, bool console) {
  RunFigures figures;
  figures.label = RunLabel(console);
  figures.terminals = std::to_string(network_terminals) + (console ? "+1" : "");
  Sandbox sandbox;
  std::unique_ptr<PseudoTerminal> serial;
  DaemonStdio stdio;
  if (console) {
    // A device's serial line is set up by its integrator; raw, so that no byte is translated.
    serial = std::make_unique<PseudoTerminal>();
    MakeRaw(serial->Slave());
    stdio = {serial->Slave(), serial->Slave()};
  }
  auto daemon = sandbox.Start({FloodProgram(), std::to_string(bytes)}, stdio);

  // Each terminal is in the session once it has its history (the greeting); the next one
  // connects only then, so that all are there before the flood starts.
  std::vector<std::unique_ptr<TerminalClient>> clients;
  std::vector<int> fds;
  std::vector<std::string> names;
  for (size_t i = 0; i < network_terminals; ++i) {
    clients.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    if (!clients.back()->WaitFor(kFloodReadyLine) || clients.back()->Received() != kFloodReadyLine)
      throw std::runtime_error("network terminal " + std::to_string(i) + " received \"" +
                               clients.back()->Received() + "\"; daemon said:\n" +
                               daemon->Stderr());
    fds.push_back(clients.back()->Fd());
    names.push_back("network terminal " + std::to_string(i));
  }
  if (serial) {
    const std::string greeting = serial->ReadUntil(kFloodReadyLine);
    if (greeting != kFloodReadyLine)
      throw std::runtime_error("the serial console received \"" + greeting + "\"");
    fds.push_back(serial->Master());
    names.push_back("serial console");
  }
  const std::vector<pid_t> children = daemon->Descendants();
  if (children.size() != 1) throw std::runtime_error("the daemon does not run one flood program");
  const pid_t flood = children.front();

  const CpuSample before = SampleCpu(daemon->Pid(), flood);
  const auto started = std::chrono::steady_clock::now();
  clients.front()->Write(kFloodGoLine);
  const auto streams = ReceiveFlood(fds, bytes, TransferDeadline(bytes));
  // Sampled while the flood program waits for its last line, so that the daemon still runs.
  RecordTransfer(figures, streams, names, bytes, started, before, SampleCpu(daemon->Pid(), flood));
  clients.front()->Write(kFloodDoneLine);
  RecordExit(figures, "the daemon", daemon->WaitExit(kExitTimeout));
  if (!figures.problems.empty()) figures.problems.push_back("daemon said:\n" + daemon->Stderr());
  return figures;
}

void PrintHeader(size_t mebibytes) {
  std::printf(
      "%zu MiB of flood per terminal; MB = 10^6 bytes; CPU = user+system seconds from \"go\" to\n"
      "the last byte: the daemon process alone, the flood program, this benchmark reading.\n\n",
      mebibytes);
  std::printf("%-28s %9s %8s %10s %10s %10s %8s %9s %10s  %s\n", "run", "terminals", "wall s",
              "MB/s each", "MB/s total", "daemon CPU", "CPU/wall", "flood CPU", "reader CPU",
              "bytes");
}

// `value` with `decimals` decimals, or "-" when there is none.
std::string Fixed(const std::optional<double>& value, int decimals) {
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, *value);
  return text;
}

void PrintRow(const RunFigures& figures, uint64_t bytes) {
  const double each = static_cast<double>(bytes) / 1e6 / figures.wall_seconds;
  std::optional<double> percent;
  if (figures.daemon_cpu_seconds)
    percent = 100 * *figures.daemon_cpu_seconds / figures.wall_seconds;
  std::printf("%-28s %9s %8.2f %10.1f %10.1f %10s %8s %9s %10.2f  %s\n", figures.label.c_str(),
              figures.terminals.c_str(), figures.wall_seconds, each,
              each * static_cast<double>(figures.streams),
              Fixed(figures.daemon_cpu_seconds, 2).c_str(),
              (percent ? Fixed(percent, 0) + "%" : "-").c_str(),
              Fixed(figures.flood_cpu_seconds, 2).c_str(), figures.reader_cpu_seconds,
              figures.problems.empty() ? "intact" : "BROKEN");
  for (const std::string& problem : figures.problems) std::printf("    %s\n", problem.c_str());
  std::fflush(stdout);
}

// Runs one measurement; a run that cannot even start is reported on its own line.
template <typename Measure>
bool Report(const std::string& label, uint64_t bytes, Measure measure) {
  try {
    const RunFigures figures = measure();
    PrintRow(figures, bytes);
    return figures.problems.empty();
  } catch (const std::exception& error) {
    std::printf("%-28s FAILED: %s\n", label.c_str(), error.what());
    std::fflush(stdout);
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : kDefaultMebibytes;
  if (mebibytes == 0) {
    std::fprintf(stderr, "Usage: e2e_throughput [MiB]\n");
    return 2;
  }
  const uint64_t bytes = static_cast<uint64_t>(mebibytes) << 20;
  PrintHeader(mebibytes);
  bool all_intact = Report(kBaselineLabel, bytes, [&] { return MeasureBaseline(bytes); });
  for (const bool console : {false, true}) {
    try {
      RegistryServiceProcess registry(PrivateBus::ProcessWide().Address(),
                                      console ? kNetworkAndConsole : kNetworkOnly);
      for (const size_t terminals : kNetworkTerminalCounts)
        all_intact = Report(RunLabel(console) + " " + std::to_string(terminals), bytes,
                            [&] { return MeasureDaemon(bytes, terminals, console); }) &&
                     all_intact;
    } catch (const std::exception& error) {
      std::printf("Registry service FAILED: %s\n", error.what());
      all_intact = false;
    }
  }
  return all_intact ? 0 : 1;
}
