// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/eventloop-integration.h>

#include <atomic>

// A D-Bus dispatcher whose loop a signal handler can end: RequestStop is async-signal-safe and
// takes effect even when it comes before enter().
class StoppableDispatcher : public DBus::BusDispatcher {
 public:
  // Runs the loop until RequestStop.
  void enter() override;
  void RequestStop() noexcept;

 private:
  std::atomic<bool> m_stop{false};
};
