#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// How long a bus or a service may take to come up or go away before a test gives up.
constexpr auto kBusTimeout = std::chrono::seconds(10);

// A private dbus-daemon configured like a system bus (everything allowed), listening on a Unix
// socket; started by pid and ended by pid.
class PrivateBus {
 public:
  // Starts the daemon on `socket_path` (default: a socket in a fresh temporary folder) and
  // returns once it accepts connections. Throws std::runtime_error when it does not start.
  explicit PrivateBus(const std::string& socket_path = "");
  ~PrivateBus();  // ends the daemon (only in the process that started it)
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // What a client puts in DBUS_SYSTEM_BUS_ADDRESS to reach this bus.
  const std::string& Address() const { return m_address; }
  pid_t Pid() const { return m_pid; }
  // Ends the daemon now; the bus's clients see their connection lost.
  void Stop();

  // One bus for the whole test process, started on first use and ended at its exit. The
  // Registry client of a process stays bound to the bus it first reached.
  static PrivateBus& ProcessWide();

 private:
  std::string m_dir;
  std::string m_address;
  pid_t m_pid = -1;
  pid_t m_owner = -1;
};

// An address on which no bus listens (its socket does not exist).
std::string AbsentBusAddress();

// Waits until `name` has no owner on the bus at `address`; false after the time-out.
bool WaitUntilNameReleased(const std::string& address, const std::string& name);

// Sections, each with its keys and values.
using RegistrySettings = std::map<std::string, std::map<std::string, std::string>>;

// The development Registry service (ttyweave-registry-service) on a bus, started with the given
// settings in its store file.
class RegistryServiceProcess {
 public:
  // Returns once the service owns "com.zarnix.Registry"; throws std::runtime_error with its
  // error output when it does not get there. `arguments` are added to its command line.
  RegistryServiceProcess(const std::string& bus_address, const RegistrySettings& settings,
                         const std::vector<std::string>& arguments = {});
  ~RegistryServiceProcess();  // Stop(), if still running
  RegistryServiceProcess(const RegistryServiceProcess&) = delete;
  RegistryServiceProcess& operator=(const RegistryServiceProcess&) = delete;

  // What it printed: "ready", then one line per call ("Read [\"networking\",\"telnet\"]").
  std::string Output() const;
  // Waits until its output contains `text`; false after the time-out.
  bool WaitForOutput(const std::string& text) const;
  // The store file's contents (JSON).
  std::string StoreContents() const;
  // SIGTERM; waits until it has ended and the bus has released its name. Returns the wait
  // status.
  int Stop();

 private:
  std::string m_dir;
  std::string m_bus_address;
  pid_t m_pid = -1;
  int m_status = 0;
};

// The path of the development Registry service binary.
const char* RegistryServiceBinary();
