#include "scripted_registry.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "dbus_bus.h"

namespace {

constexpr char kName[] = "com.zarnix.Registry";
constexpr char kInterface[] = "com.zarnix.Registry";

void AppendString(DBusMessageIter* iter, const std::string& value) {
  const char* text = value.c_str();
  dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &text);
}

std::vector<std::string> StringArguments(DBusMessage* message) {
  std::vector<std::string> strings;
  DBusMessageIter iter;
  if (!dbus_message_iter_init(message, &iter)) return strings;
  do {
    if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRING) {
      const char* text = nullptr;
      dbus_message_iter_get_basic(&iter, &text);
      strings.emplace_back(text);
    }
  } while (dbus_message_iter_next(&iter));
  return strings;
}

}  // namespace

ScriptedRegistry::ScriptedRegistry(const std::string& bus_address, ReplyMaker reply)
    : m_address(bus_address), m_reply(std::move(reply)) {
  DBusError error;
  dbus_error_init(&error);
  m_connection = dbus_connection_open_private(bus_address.c_str(), &error);
  if (m_connection == nullptr || !dbus_bus_register(m_connection, &error) ||
      dbus_bus_request_name(m_connection, kName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
          DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    const std::string reason = dbus_error_is_set(&error) ? error.message : "name not owned";
    dbus_error_free(&error);
    if (m_connection != nullptr) {
      dbus_connection_close(m_connection);
      dbus_connection_unref(m_connection);
    }
    throw std::runtime_error("scripted Registry: " + reason);
  }
  if (pipe2(m_wake, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
  m_thread = std::thread([this] { Serve(); });
}

ScriptedRegistry::~ScriptedRegistry() {
  const char stop = 0;
  [[maybe_unused]] const ssize_t ignored = write(m_wake[1], &stop, 1);
  m_thread.join();
  close(m_wake[0]);
  close(m_wake[1]);
  dbus_connection_close(m_connection);
  dbus_connection_unref(m_connection);
  WaitUntilNameReleased(m_address, kName);
}

std::vector<RecordedCall> ScriptedRegistry::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

void ScriptedRegistry::Serve() {
  int socket = -1;
  dbus_connection_get_unix_fd(m_connection, &socket);
  for (;;) {
    while (DBusMessage* message = dbus_connection_pop_message(m_connection)) {
      Answer(message);
      dbus_message_unref(message);
    }
    dbus_connection_flush(m_connection);
    struct pollfd ready[2] = {{m_wake[0], POLLIN, 0}, {socket, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0) continue;  // EINTR
    if (ready[0].revents != 0) return;
    if (!dbus_connection_read_write(m_connection, 0)) return;  // the bus went away
  }
}

void ScriptedRegistry::Answer(DBusMessage* message) {
  if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
  DBusMessage* reply = nullptr;
  const char* interface = dbus_message_get_interface(message);
  if (interface != nullptr && std::strcmp(interface, kInterface) == 0) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_calls.push_back({dbus_message_get_member(message), StringArguments(message)});
    }
    reply = m_reply(message);
  } else {
    reply = ErrorReply(message, DBUS_ERROR_UNKNOWN_METHOD, "not served here");
  }
  if (reply == nullptr) return;
  dbus_connection_send(m_connection, reply, nullptr);
  dbus_message_unref(reply);
}

DBusMessage* ErrorReply(DBusMessage* call, const char* name, const char* text) {
  return dbus_message_new_error(call, name, text);
}

DBusMessage* StringsReply(DBusMessage* call, const std::vector<std::string>& values) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  DBusMessageIter iter;
  dbus_message_iter_init_append(reply, &iter);
  for (const std::string& value : values) AppendString(&iter, value);
  return reply;
}

DBusMessage* BoolReply(DBusMessage* call, bool value) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  const dbus_bool_t truth = value ? TRUE : FALSE;
  dbus_message_append_args(reply, DBUS_TYPE_BOOLEAN, &truth, DBUS_TYPE_INVALID);
  return reply;
}

DBusMessage* Int32Reply(DBusMessage* call, int value) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  const dbus_int32_t number = value;
  dbus_message_append_args(reply, DBUS_TYPE_INT32, &number, DBUS_TYPE_INVALID);
  return reply;
}

DBusMessage* ArrayReply(DBusMessage* call, const std::vector<std::string>& values) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  DBusMessageIter iter, array;
  dbus_message_iter_init_append(reply, &iter);
  dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING_AS_STRING, &array);
  for (const std::string& value : values) AppendString(&array, value);
  dbus_message_iter_close_container(&iter, &array);
  return reply;
}

DBusMessage* DictionaryReply(DBusMessage* call,
                             const std::vector<std::pair<std::string, std::string>>& entries) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  DBusMessageIter iter, dictionary;
  dbus_message_iter_init_append(reply, &iter);
  dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "{ss}", &dictionary);
  for (const auto& [key, value] : entries) {
    DBusMessageIter entry;
    dbus_message_iter_open_container(&dictionary, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    AppendString(&entry, key);
    AppendString(&entry, value);
    dbus_message_iter_close_container(&dictionary, &entry);
  }
  dbus_message_iter_close_container(&iter, &dictionary);
  return reply;
}
