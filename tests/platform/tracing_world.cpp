#include "tracing_world.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>

#include "mount_namespace.h"
#include "child_process.h"
#include "sandbox.h"

namespace {

using std::chrono::milliseconds;

// A session daemon takes commands within a second on an idle machine; a loaded CI runner may
// need far more.
constexpr milliseconds kReadyTimeout{20000};
// "lttng stop" and "lttng destroy" wait for the consumer daemon to write the trace out.
constexpr milliseconds kRunTimeout{30000};
// A session daemon told to terminate stops its consumer daemons and exits well within this.
constexpr milliseconds kStopTimeout{10000};
// How often readiness is looked at again while waiting for it.
constexpr milliseconds kPollInterval{50};

// What a forked child reports through its pipe when it fails before exec.
struct ExecFailure {
  enum Stage { kNamespaces, kDescriptors, kExec } stage;
  int error;
};

// The trace point library's registration socket of a root session daemon, inside the world.
constexpr char kAppSocket[] = "/run/lttng/lttng-ust-sock-8";

std::string Errno(int error) { return std::strerror(error); }

// The path execve needs for `name`: as given when it holds a '/', else found in PATH; empty
// when there is no such program.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Null-terminated pointers into `words`, as execve wants them; `words` must outlive them.
std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In a forked child: tells the parent why the child cannot go on, then ends it.
[[noreturn]] void FailChild(int report_fd, ExecFailure::Stage stage) {
  const ExecFailure failure = {stage, errno};
  if (write(report_fd, &failure, sizeof failure) < 0) {
    // Nothing more to say: the exit status still tells the parent.
  }
  _exit(127);
}

// Reads a child's pre-exec report: nothing when the pipe closed silently, that is when exec
// succeeded and closed the close-on-exec write end.
std::optional<ExecFailure> ReadExecReport(int report_fd) {
  ExecFailure failure{};
  ssize_t got;
  do {
    got = read(report_fd, &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) return failure;
  return std::nullopt;
}

}  // namespace

TracingWorld::TracingWorld(std::string dir) : m_dir(std::move(dir)) {}

std::unique_ptr<TracingWorld> TracingWorld::Start(std::string& why_not) {
  char pattern[] = "/tmp/ttyweave-trace-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp: " + Errno(errno));
  std::unique_ptr<TracingWorld> world(new TracingWorld(pattern));
  for (const char* folder : {"run", "shm", "home"})
    std::filesystem::create_directory(world->m_dir + "/" + folder);
  if (!world->LaunchSessionDaemon(why_not) || !world->WaitUntilReady(why_not)) return nullptr;
  return world;
}

TracingWorld::~TracingWorld() {
  StopSessionDaemon();
  if (m_mount_namespace >= 0) close(m_mount_namespace);
  if (m_network_namespace >= 0) close(m_network_namespace);
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

std::vector<std::string> TracingWorld::Environment(const std::vector<std::string>& extra) const {
  std::map<std::string, std::string> entries;
  const auto add = [&entries](const std::string& entry) {
    entries[entry.substr(0, entry.find('='))] = entry;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) add(*entry);
  // The daemon's and the programs' per-user files (configuration, sockets of a non-root
  // daemon) stay in the world too.
  add("HOME=" + m_dir + "/home");
  add("LTTNG_HOME=" + m_dir + "/home");
  for (const std::string& entry : extra) add(entry);
  std::vector<std::string> environment;
  for (const auto& [name, entry] : entries) environment.push_back(entry);
  return environment;
}

bool TracingWorld::LaunchSessionDaemon(std::string& why_not) {
  const std::string program = FindProgram("lttng-sessiond");
  if (program.empty()) {
    why_not = "lttng-sessiond is not installed (package lttng-tools)";
    return false;
  }
  // Kernel tracing stays off: the session daemon must not load modules into this machine.
  std::vector<std::string> words = {program, "--no-kernel"};
  std::vector<std::string> environment = Environment({});
  const std::vector<char*> argv = Pointers(words);
  const std::vector<char*> envp = Pointers(environment);
  const std::string run = m_dir + "/run";
  const std::string shm = m_dir + "/shm";
  const std::string log_path = m_dir + "/sessiond.log";
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int report[2];
  if (log < 0 || null < 0 || pipe2(report, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot prepare the session daemon's descriptors: " + Errno(errno));

  const pid_t pid = fork();
  if (pid == 0) {
    // Only system calls from here on: the test process has other threads.
    close(report[0]);
    if (unshare(CLONE_NEWNET) != 0 || !EnterPrivateMountNamespace() || !BindMount(run, "/run") ||
        !BindMount(shm, "/dev/shm"))
      FailChild(report[1], ExecFailure::kNamespaces);
    if (dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
      FailChild(report[1], ExecFailure::kDescriptors);
    execve(argv[0], argv.data(), envp.data());
    FailChild(report[1], ExecFailure::kExec);
  }
  const int fork_error = errno;
  close(report[1]);
  close(log);
  close(null);
  if (pid < 0) {
    close(report[0]);
    throw std::runtime_error("fork: " + Errno(fork_error));
  }
  const std::optional<ExecFailure> failure = ReadExecReport(report[0]);
  close(report[0]);
  m_sessiond = pid;
  if (failure) {
    WaitExit(pid, kStopTimeout);
    m_sessiond_reaped = true;
    why_not = failure->stage == ExecFailure::kNamespaces
                  ? "cannot make private mount and network namespaces (needs root): "
                  : "cannot start lttng-sessiond: ";
    why_not += Errno(failure->error);
    return false;
  }
  // exec succeeded, so the namespaces are in place: keep hold of them for later commands.
  const std::string namespaces = "/proc/" + std::to_string(pid) + "/ns/";
  m_mount_namespace = open((namespaces + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
  m_network_namespace = open((namespaces + "net").c_str(), O_RDONLY | O_CLOEXEC);
  if (m_mount_namespace < 0 || m_network_namespace < 0) {
    why_not = "lttng-sessiond ended at once: " + ReadWholeFile(log_path);
    return false;
  }
  return true;
}

bool TracingWorld::WaitUntilReady(std::string& why_not) {
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  for (;;) {
    int status = 0;
    if (waitpid(m_sessiond, &status, WNOHANG) == m_sessiond) {
      m_sessiond_reaped = true;
      why_not = "lttng-sessiond ended at start-up: " + ReadWholeFile(m_dir + "/sessiond.log");
      return false;
    }
    // Commands are taken once "list" answers; registrations once the socket for them exists.
    if (Lttng({"list"}).status == 0 && std::filesystem::exists(m_dir + kAppSocket)) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      why_not = "lttng-sessiond did not become ready: " + ReadWholeFile(m_dir + "/sessiond.log");
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

ChildResult TracingWorld::Run(const std::vector<std::string>& argv_words,
                              const std::vector<std::string>& env) const {
  const std::string program = FindProgram(argv_words.at(0));
  if (program.empty()) throw std::runtime_error("no program " + argv_words[0]);
  std::vector<std::string> words = argv_words;
  words[0] = program;
  std::vector<std::string> environment = Environment(env);
  const std::vector<char*> argv = Pointers(words);
  const std::vector<char*> envp = Pointers(environment);
  const std::string run = std::to_string(++m_runs);
  const std::string out_path = m_dir + "/out-" + run;
  const std::string err_path = m_dir + "/err-" + run;
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || null < 0)
    throw std::runtime_error("cannot open a command's output files: " + Errno(errno));

  const pid_t pid = fork();
  if (pid == 0) {
    // Only system calls from here on: the test process has other threads.
    if (setns(m_mount_namespace, CLONE_NEWNS) != 0 ||
        setns(m_network_namespace, CLONE_NEWNET) != 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(err, 2) < 0)
      _exit(126);
    // Only descriptors 0 to 2 reach the program, whatever the test process holds.
    if (close_range(3, ~0U, 0) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int fork_error = errno;
  close(out);
  close(err);
  close(null);
  if (pid < 0) throw std::runtime_error("fork: " + Errno(fork_error));

  ChildResult result;
  if (std::optional<int> status = WaitExit(pid, kRunTimeout)) {
    result.status = *status;
  } else {
    kill(pid, SIGKILL);
    waitpid(pid, &result.status, 0);
  }
  result.out = ReadWholeFile(out_path);
  result.err = ReadWholeFile(err_path);
  return result;
}

ChildResult TracingWorld::Lttng(const std::vector<std::string>& args) const {
  std::vector<std::string> words = {"lttng", "--no-sessiond"};
  words.insert(words.end(), args.begin(), args.end());
  return Run(words);
}

void TracingWorld::StopSessionDaemon() {
  if (m_sessiond < 0 || m_sessiond_reaped) return;
  const std::vector<pid_t> helpers = Descendants(m_sessiond);
  kill(m_sessiond, SIGTERM);
  if (!WaitExit(m_sessiond, kStopTimeout)) {
    kill(m_sessiond, SIGKILL);
    waitpid(m_sessiond, nullptr, 0);
  }
  m_sessiond_reaped = true;
  // Consumer daemons normally end with the session daemon; any left over are ended here, as
  // long as the pid still names an LTTng process.
  for (pid_t helper : helpers) {
    if (ReadWholeFile("/proc/" + std::to_string(helper) + "/comm").rfind("lttng", 0) == 0)
      kill(helper, SIGKILL);
  }
}
