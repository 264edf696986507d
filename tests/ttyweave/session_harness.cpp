#include "session_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "mount_namespace.h"
#include "safe_fprintf.h"
#include "shared_session.h"

namespace {

// Where the harness child keeps the kernel log descriptor once everything else is closed.
constexpr int kKernelLogFd = 3;

// In the forked child: builds the private world and runs the session as shared-mode start-up
// would; exits with the session's status.
[[noreturn]] void RunSessionInWorld(const Sandbox& sandbox, const SessionOptions& options,
                                    int err) {
  dup2(err, 2);
  if (!EnterPrivateMountNamespace() || !BindMount(sandbox.PathOf("run"), "/run") ||
      !BindMount(sandbox.PathOf("passwd"), "/etc/passwd")) {
    SafeFprintf(stderr, "harness: no private world: %s\n", std::strerror(errno));
    _exit(kHarnessFailureStatus);
  }
  const int console =
      options.serial_console >= 0 ? options.serial_console : open("/dev/null", O_RDWR);
  dup2(console, 0);
  dup2(console, 1);
  if (options.kernel_log >= 0 && options.kernel_log != kKernelLogFd)
    dup2(options.kernel_log, kKernelLogFd);
  // Nothing of the test's (a console's other end, clients) stays open in the session.
  close_range(options.kernel_log >= 0 ? kKernelLogFd + 1 : kKernelLogFd, ~0U, 0);
  umask(options.umask);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  std::vector<std::string> words = options.program;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int status = kHarnessFailureStatus;
  try {
    SharedSession session;
    session.SetupSignals();
    if (options.kernel_log >= 0) session.SetKernelLog(kKernelLogFd, options.log_level);
    session.StartChild(static_cast<int>(words.size()), argv.data());
    if (options.listener) {
      SafeFprintf(stderr, "ttyweave: Starting listener\n");
      try {
        session.StartListener();
      } catch (const std::exception& error) {
        SafeFprintf(stderr, "ttyweave: Unable to start telnet listener: %s\n", error.what());
      }
    }
    if (options.serial_console >= 0) {
      SetNonBlocking(0);
      session.AddTerminal(0);
    }
    if (options.run_loop) {
      options.run_loop(session);
    } else {
      session.RunSession();
    }
    status = session.GetExitStatus();
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "harness: %s\n", error.what());
    status = kHarnessFailureStatus;
  }
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace

std::unique_ptr<DaemonProcess> StartSession(const Sandbox& sandbox, const SessionOptions& options) {
  static int runs = 0;
  const std::string stderr_path = sandbox.PathOf("session-stderr-" + std::to_string(++runs));
  const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (err < 0) throw std::runtime_error("cannot open the session's stderr file");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) RunSessionInWorld(sandbox, options, err);
  close(err);
  if (pid < 0) throw std::runtime_error("fork failed");
  return std::make_unique<DaemonProcess>(pid, stderr_path);
}

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

double CpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) throw std::runtime_error("no such process");
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  unsigned long long utime = 0, stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

unsigned long ContextSwitches(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  unsigned long total = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      total += std::stoul(line.substr(line.find(':') + 1));
  }
  return total;
}

bool WaitUntilStopped(pid_t pid, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [pid] {
        std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const size_t name_end = stat.rfind(')');
        return name_end != std::string::npos && stat.size() > name_end + 2 &&
               stat[name_end + 2] == 'T';
      },
      timeout);
}

int ExitCodeOf(const std::optional<int>& status) {
  EXPECT_TRUE(status.has_value()) << "the session did not end";
  if (!status) return -1;
  EXPECT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}
