#include "share_config.h"

#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "registry_client_impl.h"
#include "safe_fprintf.h"

namespace {

constexpr char kSection[] = "networking";
// TCP ports that a login service can listen on; 0 means "off".
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The whole value as a decimal int (optional sign, digits only); throws when it is not one.
int ReadInt(Registry& registry, const char* key) {
  return boost::lexical_cast<int>(registry.Read(kSection, key));
}

bool IsPort(int number) { return number >= kLowestPort && number <= kHighestPort; }

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

  // Each key on its own: one that fails never undoes what another set.
  try {
    if (IsPort(ReadInt(*registry, "telnet"))) config.network_enabled = true;
  } catch (...) {
  }
  try {
    if (IsPort(ReadInt(*registry, "ssh"))) config.network_enabled = true;
  } catch (...) {
  }
  try {
    config.serial_with_telnet = ReadInt(*registry, "serial_with_telnet") != 0;
  } catch (...) {
    config.serial_with_telnet = false;
  }
}
