// SPDX-License-Identifier: MIT
#include "dbus_dispatcher.h"

#include <dbus-c++/dispatcher.h>
#include <dbus-c++/eventloop-integration.h>

#include <memory>

#include "assertion_report.h"

pthread_mutex_t EnsureDBusDispatcher::sm_mutex = PTHREAD_MUTEX_INITIALIZER;
DBus::BusDispatcher* EnsureDBusDispatcher::sm_dispatcher = nullptr;
std::uint64_t EnsureDBusDispatcher::sm_users = 0;

namespace {

// Holds sm_mutex for one scope. Locking a default mutex fails only on a broken invariant
// (deadlock by the owner, corrupted mutex).
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t& mutex) : m_mutex(mutex) {
    const int locked = pthread_mutex_lock(&m_mutex);
    PLINTH_CHECK(locked == 0);
  }
  ~MutexLock() { pthread_mutex_unlock(&m_mutex); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t& m_mutex;
};

}  // namespace

EnsureDBusDispatcher::EnsureDBusDispatcher() {
  MutexLock lock(sm_mutex);
  if (sm_users == 0) {
    DBus::_init_threading();
    auto dispatcher = std::make_unique<DBus::BusDispatcher>();
    sm_dispatcher = dispatcher.release();
    DBus::default_dispatcher = sm_dispatcher;
  }
  ++sm_users;
}

EnsureDBusDispatcher::~EnsureDBusDispatcher() {
  MutexLock lock(sm_mutex);
  if (--sm_users != 0) return;
  // Leave no dangling default: a connection made without a user then stops at once on the null
  // dispatcher instead of working on freed memory.
  if (DBus::default_dispatcher == sm_dispatcher) DBus::default_dispatcher = nullptr;
  delete sm_dispatcher;
  sm_dispatcher = nullptr;
}
