#include "sandbox.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "dbus_bus.h"
#include "child_process.h"
#include "mount_namespace.h"

namespace {

constexpr char kSystemBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr char kDefaultPasswd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "tessaline:x:4242:4242:console sharing:/nonexistent:/usr/sbin/nologin\n";
// How often a condition on the daemon's output is looked at again.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// In the forked child: builds the daemon's world, then replaces the child with the daemon.
// Uses only system calls; reports a failure in its exit status (ENOEXEC-like 126/127).
[[noreturn]] void ExecInWorld(const std::string& dir, const std::string& serial,
                              const std::vector<char*>& argv, const std::vector<char*>& envp,
                              int in, int out, int err, bool session_leader) {
  if (session_leader && setsid() < 0) _exit(126);
  if (!EnterPrivateMountNamespace() || !BindMount(dir + "/run", "/run") ||
      !BindMount(dir + "/passwd", "/etc/passwd") ||
      !BindMount(dir + "/printk", "/proc/sys/kernel/printk") || !BindMount(serial, "/dev/ttyS0"))
    _exit(126);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

}  // namespace

const char* DaemonBinary() { return TTYWEAVE_BINARY; }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  if (!file) throw std::runtime_error("cannot write " + path);
}

DaemonProcess::DaemonProcess(pid_t pid, std::string stderr_path)
    : m_pid(pid), m_stderr_path(std::move(stderr_path)) {}

DaemonProcess::~DaemonProcess() { KillAll(); }

std::string DaemonProcess::Stderr() const { return ReadWholeFile(m_stderr_path); }

bool DaemonProcess::WaitForStderr(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Stderr().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

std::optional<int> DaemonProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (m_reaped) throw std::logic_error("daemon already reaped");
  std::optional<int> status = ::WaitExit(m_pid, timeout);
  m_reaped = status.has_value();
  return status;
}

void DaemonProcess::Signal(int signal) const {
  if (!m_reaped) kill(m_pid, signal);
}

std::vector<pid_t> DaemonProcess::Descendants() const { return ::Descendants(m_pid); }

void DaemonProcess::KillAll() {
  if (m_reaped) return;
  const std::vector<pid_t> descendants = Descendants();
  kill(m_pid, SIGKILL);
  for (pid_t pid : descendants) kill(pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_reaped = true;
}

Sandbox::Sandbox() {
  char pattern[] = "/tmp/ttyweave-sandbox-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_dir = pattern;
  std::filesystem::create_directory(PathOf("run"));
  SetPasswd(kDefaultPasswd);
  WriteFile("printk", "7\t4\t1\t7\n");
  WriteFile("serial", "");
  m_serial_device = PathOf("serial");
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

std::string Sandbox::PrintkContents() const { return ReadWholeFile(PathOf("printk")); }

void Sandbox::WriteFile(const std::string& name, const std::string& contents) const {
  WriteWholeFile(PathOf(name), contents);
}

std::unique_ptr<DaemonProcess> Sandbox::Start(const std::vector<std::string>& args,
                                              DaemonStdio stdio, bool session_leader) {
  const std::string stderr_path = PathOf("stderr-" + std::to_string(++m_runs));
  const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (err < 0 || null < 0) throw std::runtime_error("cannot open the daemon's output files");

  std::vector<std::string> words = {DaemonBinary()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::map<std::string, std::optional<std::string>> overrides = m_env;
  // A device always has a system bus; unless the test says otherwise, one without a Registry.
  overrides.emplace(kSystemBusVariable, PrivateBus::ProcessWide().Address());
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (overrides.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : overrides)
    if (value) environment.push_back(name + "=" + *value);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0)
    ExecInWorld(m_dir, m_serial_device, argv, envp, stdio.in >= 0 ? stdio.in : null,
                stdio.out >= 0 ? stdio.out : err, err, session_leader);
  close(err);
  close(null);
  if (pid < 0) throw std::runtime_error("fork failed");
  return std::make_unique<DaemonProcess>(pid, stderr_path);
}
