#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Where the daemon under test puts its standard descriptors. -1 means the default:
// /dev/null for input, the run's captured output file for output.
struct DaemonStdio {
  int in = -1;
  int out = -1;
};

// One run of the daemon binary started by a Sandbox.
class DaemonProcess {
 public:
  DaemonProcess(pid_t pid, std::string stderr_path);
  ~DaemonProcess();  // kills the daemon and everything it started, if still running
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  std::string Stderr() const;
  // Waits until standard error contains `text`; false after the time-out.
  bool WaitForStderr(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits for the daemon to end and returns its wait status, or nothing after the time-out.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Signal(int signal) const;
  // Processes started by the daemon (and theirs), found through /proc.
  std::vector<pid_t> Descendants() const;

 private:
  void KillAll();

  pid_t m_pid;
  std::string m_stderr_path;
  bool m_reaped = false;
};

// A private world for the daemon: a temporary folder whose files are bound, in a mount
// namespace that only the daemon and its children see, over the fixed paths it uses:
// /run (so /var/run/ttyweave-socket), /etc/passwd, /proc/sys/kernel/printk and /dev/ttyS0.
// Its system bus (DBUS_SYSTEM_BUS_ADDRESS) is, unless set with SetEnv, the test process's
// private bus (PrivateBus::ProcessWide), on which no Registry runs unless the test starts one.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& Dir() const { return m_dir; }
  std::string PathOf(const std::string& name) const { return m_dir + "/" + name; }
  std::string SocketPath() const { return PathOf("run/ttyweave-socket"); }
  std::string PrintkContents() const;

  void WriteFile(const std::string& name, const std::string& contents) const;
  // By default the user list holds root and "tessaline".
  void SetPasswd(const std::string& contents) const { WriteFile("passwd", contents); }
  // What /dev/ttyS0 is in the daemon's world; by default an empty regular file.
  void SetSerialDevice(const std::string& path) { m_serial_device = path; }
  void SetEnv(const std::string& name, const std::string& value) { m_env[name] = value; }
  void UnsetEnv(const std::string& name) { m_env[name] = std::nullopt; }

  // Starts "ttyweave <args...>". A session leader is started as a service manager would
  // (setsid first); otherwise as an ordinary child of a non-interactive parent.
  std::unique_ptr<DaemonProcess> Start(const std::vector<std::string>& args, DaemonStdio stdio = {},
                                       bool session_leader = true);

 private:
  std::string m_dir;
  std::string m_serial_device;
  std::map<std::string, std::optional<std::string>> m_env;
  int m_runs = 0;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Replaces a file's contents; throws std::runtime_error when it cannot be written.
void WriteWholeFile(const std::string& path, const std::string& contents);

// The path of the daemon binary under test.
const char* DaemonBinary();
