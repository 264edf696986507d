#include "dbus_bus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "child_process.h"
#include "sandbox.h"

namespace {

constexpr char kRegistryName[] = "com.zarnix.Registry";
// How often a condition on another process is looked at again.
constexpr auto kPollInterval = std::chrono::milliseconds(10);
// The descriptor on which dbus-daemon prints its address.
constexpr int kAddressFd = 3;

std::string MakeTemporaryDir(const char* stem) {
  std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// A system bus's policy, except that every connection may own and call everything.
std::string BusConfig(const std::string& socket_path) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>system</type>\n"
         "  <listen>unix:path=" +
         socket_path +
         "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n"
         "    <allow own=\"*\"/>\n"
         "    <allow send_type=\"method_call\"/>\n"
         "    <allow send_destination=\"*\"/>\n"
         "    <allow receive_sender=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

// Reads one line from `fd` until the deadline; empty when none came.
std::string ReadLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    struct pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) return "";
    line.append(buffer, static_cast<std::size_t>(count));
  }
  return line.substr(0, line.find('\n'));
}

void RemoveDir(const std::string& dir) {
  std::error_code ignored;
  if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

}  // namespace

PrivateBus::PrivateBus(const std::string& socket_path) : m_owner(getpid()) {
  m_dir = MakeTemporaryDir("ttyweave-bus");
  const std::string socket = socket_path.empty() ? m_dir + "/system_bus_socket" : socket_path;
  const std::string config = m_dir + "/bus.conf";
  const std::string log = m_dir + "/bus.log";
  WriteWholeFile(config, BusConfig(socket));

  int address_pipe[2];
  if (pipe2(address_pipe, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
  const pid_t parent = getpid();
  m_pid = fork();
  if (m_pid == 0) {
    // The bus must not outlive a test that crashed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(126);
    const int null = open("/dev/null", O_RDWR);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0 ||
        dup2(address_pipe[1], kAddressFd) < 0)
      _exit(126);
    const std::string config_option = "--config-file=" + config;
    const std::string address_option = "--print-address=" + std::to_string(kAddressFd);
    execlp("dbus-daemon", "dbus-daemon", config_option.c_str(), "--nofork", "--nopidfile",
           "--nosyslog", address_option.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(address_pipe[1]);
  if (m_pid < 0) {
    close(address_pipe[0]);
    throw std::runtime_error("fork failed");
  }
  m_address = ReadLine(address_pipe[0], std::chrono::steady_clock::now() + kBusTimeout);
  close(address_pipe[0]);
  if (m_address.empty()) {
    const std::string output = ReadWholeFile(log);
    Stop();
    throw std::runtime_error("dbus-daemon did not start: " + output);
  }
}

PrivateBus::~PrivateBus() {
  if (getpid() != m_owner) return;  // a forked child leaves its parent's bus alone
  Stop();
  RemoveDir(m_dir);
}

void PrivateBus::Stop() {
  if (m_pid <= 0 || getpid() != m_owner) return;
  StopProcess(m_pid);
  m_pid = -1;
}

PrivateBus& PrivateBus::ProcessWide() {
  static PrivateBus bus;
  return bus;
}

std::string AbsentBusAddress() {
  return "unix:path=/tmp/ttyweave-no-bus-" + std::to_string(getpid()) + "/system_bus_socket";
}

bool WaitUntilNameReleased(const std::string& address, const std::string& name) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
  if (connection == nullptr) {
    dbus_error_free(&error);
    return true;  // no bus, so nobody owns anything
  }
  bool released = false;
  const auto deadline = std::chrono::steady_clock::now() + kBusTimeout;
  if (dbus_bus_register(connection, &error)) {
    while (std::chrono::steady_clock::now() < deadline) {
      const bool owned = dbus_bus_name_has_owner(connection, name.c_str(), &error);
      if (dbus_error_is_set(&error)) break;
      if (!owned) {
        released = true;
        break;
      }
      std::this_thread::sleep_for(kPollInterval);
    }
  }
  dbus_error_free(&error);
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
  return released;
}

RegistryServiceProcess::RegistryServiceProcess(const std::string& bus_address,
                                               const RegistrySettings& settings,
                                               const std::vector<std::string>& arguments)
    : m_bus_address(bus_address) {
  m_dir = MakeTemporaryDir("ttyweave-registry");
  const std::string store = m_dir + "/store.json";
  WriteWholeFile(store, nlohmann::json(settings).dump());

  std::vector<std::string> words = {RegistryServiceBinary(), "--store", store, "--address",
                                    bus_address};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string out = m_dir + "/out";
  const std::string err = m_dir + "/err";
  const pid_t parent = getpid();
  m_pid = fork();
  if (m_pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(126);
    const int null = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || out_fd < 0 || err_fd < 0 || dup2(null, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0)
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (m_pid < 0) throw std::runtime_error("fork failed");

  const auto deadline = std::chrono::steady_clock::now() + kBusTimeout;
  while (Output().find("ready\n") == std::string::npos) {
    int status = 0;
    const bool ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
    if (ended || std::chrono::steady_clock::now() > deadline) {
      if (ended) m_pid = -1;
      const std::string errors = ReadWholeFile(err);
      Stop();
      RemoveDir(m_dir);
      throw std::runtime_error("the Registry service did not start: " + errors);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

RegistryServiceProcess::~RegistryServiceProcess() {
  Stop();
  RemoveDir(m_dir);
}

std::string RegistryServiceProcess::Output() const { return ReadWholeFile(m_dir + "/out"); }

bool RegistryServiceProcess::WaitForOutput(const std::string& text) const {
  const auto deadline = std::chrono::steady_clock::now() + kBusTimeout;
  while (Output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

std::string RegistryServiceProcess::StoreContents() const {
  return ReadWholeFile(m_dir + "/store.json");
}

int RegistryServiceProcess::Stop() {
  if (m_pid > 0) {
    m_status = StopProcess(m_pid);
    m_pid = -1;
    WaitUntilNameReleased(m_bus_address, kRegistryName);
  }
  return m_status;
}

const char* RegistryServiceBinary() { return REGISTRY_SERVICE_BINARY; }
