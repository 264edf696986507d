// SPDX-License-Identifier: MIT
#include "registry_service.h"

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

#include "registry_names.h"

namespace {

using namespace registry_names;

constexpr char kFailedError[] = "org.freedesktop.DBus.Error.Failed";

void LogCall(const char* member, std::initializer_list<std::string> arguments = {}) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& argument : arguments) list.push_back(argument);
  std::printf("%s %s\n", member,
              list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

}  // namespace

RegistryService::RegistryService(DBus::Connection& connection, Registry& registry)
    : DBus::ObjectAdaptor(connection, kObjectPath), m_registry(registry) {}

template <typename Operation>
auto RegistryService::Serve(Operation operation) {
  const char* error_name = kFailedError;
  try {
    return operation();
  } catch (const Registry::InvalidName& error) {
    error_name = kInvalidNameError;
    m_error_text = error.what();
  } catch (const Registry::Full& error) {
    error_name = kFullError;
    m_error_text = error.what();
  } catch (const Registry::InvalidJson& error) {
    error_name = kInvalidJsonError;
    m_error_text = error.what();
  } catch (const std::exception& error) {
    m_error_text = error.what();
  }
  throw DBus::Error(error_name, m_error_text.c_str());
}

std::string RegistryService::ReadAllJson() {
  LogCall("ReadAllJson");
  return Serve([&] { return m_registry.ReadAllJson(); });
}

void RegistryService::WriteJson(const std::string& json) {
  LogCall("WriteJson");
  Serve([&] { m_registry.WriteJson(json); });
}

std::string RegistryService::Read(const std::string& section, const std::string& key) {
  LogCall("Read", {section, key});
  return Serve([&] { return m_registry.Read(section, key); });
}

void RegistryService::Write(const std::string& section, const std::string& key,
                            const std::string& value) {
  LogCall("Write", {section, key});
  Serve([&] { m_registry.Write(section, key, value); });
}

bool RegistryService::KeyExists(const std::string& section, const std::string& key) {
  LogCall("KeyExists", {section, key});
  return Serve([&] { return m_registry.KeyExists(section, key); });
}

bool RegistryService::SectionExists(const std::string& section) {
  LogCall("SectionExists", {section});
  return Serve([&] { return m_registry.SectionExists(section); });
}

void RegistryService::DeleteKey(const std::string& section, const std::string& key) {
  LogCall("DeleteKey", {section, key});
  Serve([&] { m_registry.DeleteKey(section, key); });
}

void RegistryService::DeleteSection(const std::string& section) {
  LogCall("DeleteSection", {section});
  Serve([&] { m_registry.DeleteSection(section); });
}

void RegistryService::DeleteAll() {
  LogCall("DeleteAll");
  Serve([&] { m_registry.DeleteAll(); });
}

std::vector<std::string> RegistryService::SectionList() {
  LogCall("SectionList");
  return Serve([&] {
    std::vector<std::string> names;
    m_registry.SectionList([&](const std::string& name) { names.push_back(name); });
    return names;
  });
}

std::map<std::string, std::string> RegistryService::KeyList(const std::string& section) {
  LogCall("KeyList", {section});
  return Serve([&] {
    std::map<std::string, std::string> entries;
    m_registry.KeyList(
        section, [&](const std::string& key, const std::string& value) { entries[key] = value; });
    return entries;
  });
}

void RegistryService::Flush() {
  LogCall("Flush");
  Serve([&] { m_registry.Flush(); });
}
