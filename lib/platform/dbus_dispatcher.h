// SPDX-License-Identifier: MIT
#pragma once

#include <pthread.h>

#include <cstdint>

namespace DBus {
class BusDispatcher;
}

// A counted user of the process's one D-Bus dispatcher. The first user switches on the D-Bus
// library's thread support and creates the dispatcher as DBus::default_dispatcher, which
// connections need; the last user destroys it. Nothing runs the dispatcher's loop: blocking
// calls wait for their own replies.
class EnsureDBusDispatcher {
 public:
  // Throws what creating the dispatcher throws (nothing is then counted).
  EnsureDBusDispatcher();
  ~EnsureDBusDispatcher();
  EnsureDBusDispatcher(const EnsureDBusDispatcher&) = delete;
  EnsureDBusDispatcher& operator=(const EnsureDBusDispatcher&) = delete;

 private:
  // Statically initialised, so that users built during static initialisation can lock it.
  static pthread_mutex_t sm_mutex;
  static DBus::BusDispatcher* sm_dispatcher;  // owning
  static std::uint64_t sm_users;
};
