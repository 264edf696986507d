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
