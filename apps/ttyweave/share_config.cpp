// SPDX-License-Identifier: MIT
#include "share_config.h"

#include <dbus/dbus.h>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <string>

#include "registry_client_impl.h"
#include "registry_names.h"
#include "registry_number.h"
#include "safe_fprintf.h"

namespace {

constexpr char kSection[] = "networking";
// TCP ports that a login service can listen on; 0 means "off".
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The whole value as a decimal int, 0 when it is not one. Throws what the read throws.
int ReadInt(Registry& registry, const char* key) {
  return AsNumber<int>(registry.Read(kSection, key)).value_or(0);
}

bool IsPort(int number) { return number >= kLowestPort && number <= kHighestPort; }

// Why a read could not reach the settings, by the D-Bus error's name: the line that explains a
// serial-only start.
void ReportUnreachableRegistry(const std::string& name) {
  const auto is_one_of = [&name](std::initializer_list<const char*> names) {
    for (const char* listed : names)
      if (name == listed) return true;
    return false;
  };
  if (is_one_of({DBUS_ERROR_SERVICE_UNKNOWN, DBUS_ERROR_NAME_HAS_NO_OWNER})) {
    SafeFprintf(stderr, "ttyweave: Registry not found: no owner of %s on the system bus\n",
                registry_names::kService);
  } else if (is_one_of({DBUS_ERROR_NO_REPLY, DBUS_ERROR_TIMEOUT})) {
    SafeFprintf(stderr, "ttyweave: Registry not answering: no reply in time\n");
  } else {
    SafeFprintf(stderr, "ttyweave: Registry error: %s\n", name.c_str());
  }
}

}  // namespace

void ReadShareConfig(ShareConfig& config) {
  config.network_enabled = false;
  config.serial_with_telnet = false;

  Registry* registry = nullptr;
  try {
    registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
  } catch (const std::exception& error) {
    // Without a system bus nothing can be read: the same defaults as three failed reads.
    SafeFprintf(stderr, "ttyweave: Registry unavailable: %s\n", error.what());
    return;
  } catch (...) {
    SafeFprintf(stderr, "ttyweave: Registry unavailable: unknown error\n");
    return;
  }

  // Each key on its own: one that fails never undoes what another set. The first failure to
  // reach the Registry is kept to say why the terminal is not shared; the Registry's own answers
  // (a missing key, say) are settings that say "off", not failures.
  std::string unreachable;
  for (const char* key : {"telnet", "ssh"}) {
    try {
      if (IsPort(ReadInt(*registry, key))) config.network_enabled = true;
    } catch (const DBus::Error& error) {
      if (unreachable.empty()) unreachable = error.name() != nullptr ? error.name() : "unknown";
    } catch (...) {
    }
  }
  if (!config.network_enabled && !unreachable.empty()) ReportUnreachableRegistry(unreachable);
  try {
    config.serial_with_telnet = ReadInt(*registry, "serial_with_telnet") != 0;
  } catch (...) {
    config.serial_with_telnet = false;
  }
}

std::optional<uint32_t> ReadKernelLogLevel() {
  try {
    Registry* registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
    // Digits with one optional sign; "-1" wraps to the largest level.
    return AsNumber<unsigned int>(registry->Read(kSection, "telnet_log_level"));
  } catch (...) {
    return std::nullopt;
  }
}
