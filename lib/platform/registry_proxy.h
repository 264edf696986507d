// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/dbus.h>

#include "com_zarnix_registry_proxy.h"

// The Registry service's object on the bus: service "com.zarnix.Registry", object path
// "/com/zarnix/Registry", interface "com.zarnix.Registry".
class RegistryProxy : public com::zarnix::Registry_proxy,
                      public DBus::IntrospectableProxy,
                      public DBus::ObjectProxy {
 public:
  explicit RegistryProxy(DBus::Connection& connection);
};
