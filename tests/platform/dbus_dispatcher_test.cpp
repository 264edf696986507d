// The process's D-Bus dispatcher: shared by every user, created by the first and destroyed by
// the last. Each case expects a process without users (ctest runs each case on its own).
#include "dbus_dispatcher.h"

#include <dbus-c++/dbus.h>
#include <gtest/gtest.h>

#include <memory>

#include "dbus_bus.h"

namespace {

// Something only a working dispatcher allows: a connection that makes a call.
std::string BusIdThroughANewConnection(const std::string& address) {
  DBus::Connection connection(address.c_str());
  connection.register_bus();
  DBus::CallMessage call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetId");
  DBus::Message reply = connection.send_blocking(call);
  return reply.reader().get_string();
}

}  // namespace

TEST(EnsureDBusDispatcher, UsersShareOneDispatcherUntilTheLastGoes) {
  ASSERT_EQ(EnsureDBusDispatcher::Users(), 0u) << "needs a process of its own";
  auto first = std::make_unique<EnsureDBusDispatcher>();
  DBus::BusDispatcher* shared = EnsureDBusDispatcher::SharedDispatcher();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(DBus::default_dispatcher, shared);

  auto second = std::make_unique<EnsureDBusDispatcher>();
  EXPECT_EQ(EnsureDBusDispatcher::SharedDispatcher(), shared);
  EXPECT_EQ(EnsureDBusDispatcher::Users(), 2u);

  first.reset();
  EXPECT_EQ(EnsureDBusDispatcher::SharedDispatcher(), shared);
  EXPECT_EQ(DBus::default_dispatcher, shared);
  EXPECT_FALSE(BusIdThroughANewConnection(PrivateBus::ProcessWide().Address()).empty());

  second.reset();
  EXPECT_EQ(EnsureDBusDispatcher::SharedDispatcher(), nullptr);
  EXPECT_EQ(EnsureDBusDispatcher::Users(), 0u);
}

TEST(EnsureDBusDispatcher, AfterTheLastUserANewUserCreatesANewDispatcher) {
  ASSERT_EQ(EnsureDBusDispatcher::Users(), 0u) << "needs a process of its own";
  const std::string address = PrivateBus::ProcessWide().Address();
  {
    EnsureDBusDispatcher gone;
    EXPECT_FALSE(BusIdThroughANewConnection(address).empty());
  }
  // The deleted dispatcher is not left behind as the default.
  EXPECT_EQ(DBus::default_dispatcher, nullptr);
  EXPECT_EQ(EnsureDBusDispatcher::SharedDispatcher(), nullptr);

  EnsureDBusDispatcher fresh;
  ASSERT_NE(EnsureDBusDispatcher::SharedDispatcher(), nullptr);
  EXPECT_EQ(DBus::default_dispatcher, EnsureDBusDispatcher::SharedDispatcher());
  EXPECT_FALSE(BusIdThroughANewConnection(address).empty());
}
