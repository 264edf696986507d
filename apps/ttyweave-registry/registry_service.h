// SPDX-License-Identifier: MIT
#pragma once

#include <dbus-c++/dbus.h>

#include <string>

#include "com_zarnix_registry_adaptor.h"
#include "registry.h"

// Serves a Registry on a bus as the object "/com/zarnix/Registry" with the interface
// "com.zarnix.Registry". Registry::InvalidName, Full and InvalidJson are answered with the error
// names com.zarnix.Registry.Errors.InvalidName, .Full and .InvalidJson; any other failure with
// org.freedesktop.DBus.Error.Failed. Each call is logged on stdout as one line: the member, then
// its section and key arguments as a JSON array. Values are left out: the log (the journal) is
// read by more users than may read the settings.
class RegistryService : public com::zarnix::Registry_adaptor,
                        public DBus::IntrospectableAdaptor,
                        public DBus::ObjectAdaptor {
 public:
  RegistryService(DBus::Connection& connection, Registry& registry);

  std::string ReadAllJson() override;
  void WriteJson(const std::string& json) override;
  std::string Read(const std::string& section, const std::string& key) override;
  void Write(const std::string& section, const std::string& key, const std::string& value) override;
  bool KeyExists(const std::string& section, const std::string& key) override;
  bool SectionExists(const std::string& section) override;
  void DeleteKey(const std::string& section, const std::string& key) override;
  void DeleteSection(const std::string& section) override;
  void DeleteAll() override;
  std::vector<std::string> SectionList() override;
  std::map<std::string, std::string> KeyList(const std::string& section) override;
  void Flush() override;

 private:
  // Runs one operation of m_registry, turning its exceptions into the D-Bus error to answer.
  template <typename Operation>
  auto Serve(Operation operation);

  Registry& m_registry;
  // The text of the error being answered: the D-Bus library keeps only a pointer to it until the
  // error reply has been sent, which happens before the next call is served.
  std::string m_error_text;
};
