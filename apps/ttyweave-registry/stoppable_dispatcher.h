// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/eventloop-integration.h>

#include <atomic>

// A D-Bus dispatcher whose loop a signal handler can end: RequestStop is async-signal-safe and
// takes effect even when it comes before the loop runs.
class StoppableDispatcher : public DBus::BusDispatcher {
 public:
  // Runs the loop until RequestStop, or until `connection` is lost (the bus died or dropped it):
  // then nothing would ever come again. False when the connection was lost.
  bool RunWhileConnected(const DBus::Connection& connection);
  void RequestStop() noexcept;

 private:
  std::atomic<bool> m_stop{false};
};
