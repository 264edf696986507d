// Start-up configuration read from a real Registry service: the values that leave sharing off
// or on beyond those the end-to-end tests try, and how the keys combine. (No Registry or no bus
// at all: see the end-to-end start-up tests.)
#include "share_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dbus_bus.h"

namespace {

const std::string& Bus() { return PrivateBus::ProcessWide().Address(); }

// The configuration read while the Registry's section "networking" holds `networking`.
ShareConfig ReadWith(const std::map<std::string, std::string>& networking) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus().c_str(), 1);
  RegistryServiceProcess service(Bus(), {{"networking", networking}});
  ShareConfig config;
  ReadShareConfig(config);
  return config;
}

}  // namespace

TEST(ReadShareConfig, ATelnetValueThatIsNoPortLeavesNetworkingOff) {
  for (const char* value :
       {"0", "65536", "-23", " 23", "23 ", "0x17", "", "+", "telnet", "2147483648", "23.0"}) {
    EXPECT_FALSE(ReadWith({{"telnet", value}}).network_enabled) << "'" << value << "'";
  }
}

TEST(ReadShareConfig, SshEnablesNetworkingWhateverTelnetHolds) {
  EXPECT_TRUE(ReadWith({{"ssh", "22"}}).network_enabled);
  EXPECT_TRUE(ReadWith({{"telnet", "0"}, {"ssh", "22"}}).network_enabled);
  EXPECT_TRUE(ReadWith({{"telnet", "off"}, {"ssh", "22"}}).network_enabled);
  // A failing ssh value never undoes what telnet set.
  EXPECT_TRUE(ReadWith({{"telnet", "23"}, {"ssh", "-1"}}).network_enabled);
  EXPECT_FALSE(ReadWith({{"telnet", "0"}, {"ssh", "0"}}).network_enabled);
}

TEST(ReadShareConfig, SerialWithTelnetIsAnyNonZeroNumber) {
  for (const char* value : {"-1", "1", "+7"})
    EXPECT_TRUE(ReadWith({{"serial_with_telnet", value}}).serial_with_telnet) << value;
  for (const char* value : {"0", "word", "", " 1", "0x1"})
    EXPECT_FALSE(ReadWith({{"serial_with_telnet", value}}).serial_with_telnet) << value;
  EXPECT_FALSE(ReadWith({{"telnet", "23"}}).serial_with_telnet);
  // Independent of networking: the flag is read even when no port is set.
  const ShareConfig alone = ReadWith({{"serial_with_telnet", "1"}});
  EXPECT_TRUE(alone.serial_with_telnet);
  EXPECT_FALSE(alone.network_enabled);
}
