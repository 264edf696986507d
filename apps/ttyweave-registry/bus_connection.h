// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/dbus.h>

#include <optional>
#include <string>

// A connection to the bus at `address`, registered with it; without an address, to the system
// bus (DBUS_SYSTEM_BUS_ADDRESS when set, as libdbus has it). Needs the process's default
// dispatcher. Throws DBus::Error when the bus cannot be reached.
DBus::Connection ConnectToBus(const std::optional<std::string>& address);
