// SPDX-License-Identifier: MIT
// ttyweave-registry-service --store FILE [--defaults FILE] [--address ADDRESS] [--max-keys N]
//
// The Registry settings service: owns "com.zarnix.Registry" on the system bus (or the bus at
// ADDRESS) and keeps its settings in the store FILE, starting from the defaults FILE while there
// is no store. Prints "ready" once it owns the name, then one line per call served; ends cleanly
// on SIGTERM or SIGINT, and with status 1 and one line when its connection to the bus is lost (a
// bus that comes back starts a new service on the first call).
#include <dbus/dbus.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "bus_connection.h"
#include "file_registry.h"
#include "registry_names.h"
#include "registry_service.h"
#include "safe_fprintf.h"
#include "settings_file.h"
#include "stoppable_dispatcher.h"

namespace {

// Large enough for any device's settings; a limit at all makes the Full answer reachable.
constexpr std::size_t kDefaultMaxKeys = 4096;
constexpr int kUsageExitStatus = 2;
constexpr int kFailureExitStatus = 1;

struct Options {
  std::string store;
  std::string defaults;
  std::optional<std::string> address;
  std::size_t max_keys = kDefaultMaxKeys;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (name == "--store") {
      options.store = value;
    } else if (name == "--defaults") {
      options.defaults = value;
    } else if (name == "--address") {
      options.address = value;
    } else if (name == "--max-keys") {
      char* end = nullptr;
      const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || value[0] == '-' || *end != '\0') return std::nullopt;
      options.max_keys = static_cast<std::size_t>(number);
    } else {
      return std::nullopt;
    }
  }
  if (options.store.empty()) return std::nullopt;
  return options;
}

StoppableDispatcher* stop_target = nullptr;

void HandleStopSignal(int) { stop_target->RequestStop(); }

void InstallStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = HandleStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT}) {
    if (sigaction(signal, &action, nullptr) < 0) {
      SafeFprintf(stderr, "ttyweave-registry-service: sigaction: %s\n", std::strerror(errno));
      std::exit(kFailureExitStatus);
    }
  }
}

// Asks the bus for the service name without queueing; true when this connection owns it.
bool OwnServiceName(DBus::Connection& connection) {
  DBus::CallMessage call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "RequestName");
  DBus::MessageIter writer = call.writer();
  writer.append_string(registry_names::kService);
  writer.append_uint32(DBUS_NAME_FLAG_DO_NOT_QUEUE);
  DBus::Message reply = connection.send_blocking(call);
  const unsigned int result = reply.reader().get_uint32();
  return result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER ||
         result == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER;
}

int Serve(const Options& options) {
  FileRegistry registry(options.store, LoadSettings(options.store, options.defaults),
                        options.max_keys);

  StoppableDispatcher dispatcher;
  DBus::default_dispatcher = &dispatcher;
  stop_target = &dispatcher;
  InstallStopHandlers();

  DBus::Connection connection = ConnectToBus(options.address);
  // The object is in place before the name is taken, so that no call finds it missing.
  RegistryService service(connection, registry);
  if (!OwnServiceName(connection)) {
    SafeFprintf(stderr, "ttyweave-registry-service: %s is owned by another connection\n",
                registry_names::kService);
    return kFailureExitStatus;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  if (!dispatcher.RunWhileConnected(connection)) {
    SafeFprintf(stderr, "ttyweave-registry-service: lost the connection to the bus\n");
    return kFailureExitStatus;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::fputs(
        "Usage: ttyweave-registry-service --store FILE [--defaults FILE] [--address ADDRESS]"
        " [--max-keys N]\n",
        stderr);
    return kUsageExitStatus;
  }
  try {
    return Serve(*options);
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "ttyweave-registry-service: %s\n", error.what());
    return kFailureExitStatus;
  }
}
