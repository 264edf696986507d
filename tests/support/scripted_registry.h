#pragma once

#include <dbus/dbus.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// One call that reached a ScriptedRegistry: its member and its string arguments.
struct RecordedCall {
  std::string member;
  std::vector<std::string> arguments;
};

// Builds the reply to one method call (a new message the caller sends and releases); null sends
// no reply.
using ReplyMaker = std::function<DBusMessage*(DBusMessage* call)>;

// A stand-in Registry service for the answers the real one never gives: owns
// "com.zarnix.Registry" on a bus and answers every call to the interface "com.zarnix.Registry"
// with what the test's ReplyMaker builds, on a thread of its own.
class ScriptedRegistry {
 public:
  // Returns once the name is owned; throws std::runtime_error when it cannot be.
  ScriptedRegistry(const std::string& bus_address, ReplyMaker reply);
  // Stops serving, leaves the bus and waits until the bus has released the name.
  ~ScriptedRegistry();
  ScriptedRegistry(const ScriptedRegistry&) = delete;
  ScriptedRegistry& operator=(const ScriptedRegistry&) = delete;

  // The calls answered so far, in order.
  std::vector<RecordedCall> Calls() const;

 private:
  void Serve();
  void Answer(DBusMessage* message);

  std::string m_address;
  ReplyMaker m_reply;
  DBusConnection* m_connection = nullptr;
  int m_wake[2] = {-1, -1};  // written to end the serving thread
  mutable std::mutex m_mutex;
  std::vector<RecordedCall> m_calls;
  std::thread m_thread;
};

// Replies for a ReplyMaker.
DBusMessage* ErrorReply(DBusMessage* call, const char* name, const char* text);
// A method return whose arguments are these strings (none for an empty list).
DBusMessage* StringsReply(DBusMessage* call, const std::vector<std::string>& values);
DBusMessage* BoolReply(DBusMessage* call, bool value);
DBusMessage* Int32Reply(DBusMessage* call, int value);
// A method return with one array of strings ("as").
DBusMessage* ArrayReply(DBusMessage* call, const std::vector<std::string>& values);
// A method return with one dictionary ("a{ss}") holding the pairs in this order, repeats kept.
DBusMessage* DictionaryReply(DBusMessage* call,
                             const std::vector<std::pair<std::string, std::string>>& entries);
