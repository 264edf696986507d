// SPDX-License-Identifier: MIT
#include "registry_client_impl.h"

#include <dbus/dbus.h>

#include <cstring>
#include <map>
#include <vector>

#include "registry_names.h"

namespace {

using namespace registry_names;

// How long a call waits for the service's answer. It answers in milliseconds; a service that
// hangs must cost the daemon's start-up seconds, not the D-Bus library's 25-second default per
// call.
constexpr int kReplyTimeoutMilliseconds = 2000;

// Checks the text that will be sent: the C text, up to the first NUL. Invalid UTF-8 must never
// reach the D-Bus library, which treats it as a fatal programming error.
void RequireUtf8(const std::string& text) {
  if (!dbus_validate_utf8(text.c_str(), nullptr)) throw Registry::InvalidEncoding();
}

bool HasName(const DBus::Error& error, const char* name) {
  const char* own = error.name();
  return own != nullptr && std::strcmp(own, name) == 0;
}

// Throws the Registry exception for the service's own error names; returns for any other
// error, which the caller passes on unchanged. The service's message text is not used.
void ThrowIfRegistryError(const DBus::Error& error) {
  if (HasName(error, kInvalidNameError)) throw Registry::InvalidName("InvalidName");
  if (HasName(error, kFullError)) throw Registry::Full();
  if (HasName(error, kInvalidJsonError)) throw Registry::InvalidJson("Invalid JSON");
}

std::string ReadString(DBus::MessageIter& reader) {
  std::string value = reader.get_string();
  ++reader;
  return value;
}

bool ReadBool(DBus::MessageIter& reader) {
  const bool value = reader.get_bool();
  ++reader;
  return value;
}

void IgnoreReply(DBus::MessageIter&) {}

}  // namespace

RegistryProxy::RegistryProxy(DBus::Connection& connection)
    : DBus::ObjectProxy(connection, kObjectPath, kService) {}

RegistryClientImpl::RegistryClientImpl()
    : m_connection(DBus::Connection::SystemBus()), m_proxy(m_connection), m_unanswered(false) {
  m_proxy.set_timeout(kReplyTimeoutMilliseconds);
}

template <typename Decode>
auto RegistryClientImpl::Exchange(const char* member,
                                  std::initializer_list<const std::string*> arguments,
                                  Decode decode) {
  std::unique_lock<std::mutex> lock(m_mutex);
  // One call has waited in vain already: the service is taken as hung, not waited for again.
  if (m_unanswered)
    throw DBus::Error(DBUS_ERROR_NO_REPLY, "The Registry did not answer an earlier call");
  try {
    DBus::CallMessage call;
    if (arguments.size() != 0) {
      DBus::MessageIter writer = call.writer();
      for (const std::string* argument : arguments) {
        // The C text: an embedded NUL ends the string, as validated.
        if (!writer.append_string(argument->c_str()))
          throw DBus::ErrorNoMemory("cannot append an argument to the call");
      }
    }
    call.member(member);
    // Through the Registry interface's part of the proxy, which fills in interface, path and
    // destination.
    com::zarnix::Registry_proxy& interface = m_proxy;
    DBus::Message reply = interface.invoke_method(call);
    DBus::MessageIter reader = reply.reader();
    return decode(reader);
  } catch (const DBus::Error& error) {
    if (HasName(error, DBUS_ERROR_NO_REPLY)) m_unanswered = true;
    ThrowIfRegistryError(error);
    throw;
  }
}

std::string RegistryClientImpl::ReadAllJson() { return Exchange("ReadAllJson", {}, ReadString); }

void RegistryClientImpl::WriteJson(const std::string& json) {
  RequireUtf8(json);
  Exchange("WriteJson", {&json}, IgnoreReply);
}

std::string RegistryClientImpl::Read(const std::string& section, const std::string& key) {
  RequireUtf8(section);
  RequireUtf8(key);
  return Exchange("Read", {&section, &key}, ReadString);
}

void RegistryClientImpl::Write(const std::string& section, const std::string& key,
                               const std::string& value) {
  RequireUtf8(section);
  RequireUtf8(key);
  RequireUtf8(value);
  Exchange("Write", {&section, &key, &value}, IgnoreReply);
}

bool RegistryClientImpl::KeyExists(const std::string& section, const std::string& key) {
  RequireUtf8(section);
  RequireUtf8(key);
  return Exchange("KeyExists", {&section, &key}, ReadBool);
}

bool RegistryClientImpl::SectionExists(const std::string& section) {
  RequireUtf8(section);
  return Exchange("SectionExists", {&section}, ReadBool);
}

void RegistryClientImpl::DeleteKey(const std::string& section, const std::string& key) {
  RequireUtf8(section);
  RequireUtf8(key);
  Exchange("DeleteKey", {&section, &key}, IgnoreReply);
}

void RegistryClientImpl::DeleteSection(const std::string& section) {
  RequireUtf8(section);
  Exchange("DeleteSection", {&section}, IgnoreReply);
}

void RegistryClientImpl::DeleteAll() { Exchange("DeleteAll", {}, IgnoreReply); }

void RegistryClientImpl::SectionList(const SectionCallback& callback) {
  const std::vector<std::string> names = Exchange("SectionList", {}, [](DBus::MessageIter& reader) {
    if (!reader.is_array()) throw DBus::ErrorInvalidArgs("array expected");
    std::vector<std::string> found;
    for (DBus::MessageIter element = reader.recurse(); !element.at_end(); ++element)
      found.emplace_back(element.get_string());
    ++reader;
    return found;
  });
  // The lock is released: the callback may call this client again.
  for (const std::string& name : names) callback(name);
}

void RegistryClientImpl::KeyList(const std::string& section, const KeyCallback& callback) {
  RequireUtf8(section);
  const std::map<std::string, std::string> entries =
      Exchange("KeyList", {&section}, [](DBus::MessageIter& reader) {
        if (!reader.is_dict()) throw DBus::ErrorInvalidArgs("dictionary value expected");
        std::map<std::string, std::string> found;
        for (DBus::MessageIter entry = reader.recurse(); !entry.at_end(); ++entry) {
          DBus::MessageIter field = entry.recurse();
          std::string key = field.get_string();
          ++field;
          // A key that comes again replaces the earlier value.
          found[key] = field.get_string();
        }
        ++reader;
        return found;
      });
  for (const auto& [key, value] : entries) callback(key, value);
}

void RegistryClientImpl::Flush() { Exchange("Flush", {}, IgnoreReply); }
