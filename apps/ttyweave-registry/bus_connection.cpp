// SPDX-License-Identifier: MIT
#include "bus_connection.h"

DBus::Connection ConnectToBus(const std::optional<std::string>& address) {
  if (!address) return DBus::Connection::SystemBus();
  DBus::Connection connection(address->c_str());
  if (!connection.register_bus()) throw DBus::ErrorFailed("cannot register with the bus");
  return connection;
}
