// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/dbus.h>

#include <initializer_list>
#include <mutex>
#include <string>

#include "registry.h"
#include "registry_proxy.h"
#include "singleton.h"

// The Registry service's client over the D-Bus system bus, reached as
// plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance(). Each operation is one blocking
// method call, serialised with the other calls of this process, that waits at most 2 s for its
// answer; once one call has gone unanswered (org.freedesktop.DBus.Error.NoReply), every later
// call fails at once with that error. Error replies named
// com.zarnix.Registry.Errors.{InvalidName,Full,InvalidJson} become Registry's exceptions, every
// other failure leaves as the DBus::Error the library raised. Needs DBus::default_dispatcher
// (EnsureDBusDispatcher) before the first GetInstance.
class RegistryClientImpl : public Registry, public plinth::AutoCreateSingleton<RegistryClientImpl> {
 public:
  std::string ReadAllJson() override;
  void WriteJson(const std::string& json) override;
  std::string Read(const std::string& section, const std::string& key) override;
  void Write(const std::string& section, const std::string& key, const std::string& value) override;
  bool KeyExists(const std::string& section, const std::string& key) override;
  bool SectionExists(const std::string& section) override;
  void DeleteKey(const std::string& section, const std::string& key) override;
  void DeleteSection(const std::string& section) override;
  void DeleteAll() override;
  void SectionList(const SectionCallback& callback) override;
  void KeyList(const std::string& section, const KeyCallback& callback) override;
  void Flush() override;

 private:
  friend class plinth::AutoCreateSingleton<RegistryClientImpl>;

  // Connects to the system bus; throws DBus::Error when it cannot be reached.
  RegistryClientImpl();

  // One exchange with the service under m_mutex: calls `member` with the string arguments and
  // returns what `decode` makes of the reply's reader; error replies are translated.
  template <typename Decode>
  auto Exchange(const char* member, std::initializer_list<const std::string*> arguments,
                Decode decode);

  std::mutex m_mutex;
  DBus::Connection m_connection;
  RegistryProxy m_proxy;
  bool m_unanswered;  // a call has timed out: the service is not asked again
};
