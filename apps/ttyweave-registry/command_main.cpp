// SPDX-License-Identifier: MIT
// ttyweave-registry [--address ADDRESS] get SECTION KEY | set SECTION KEY VALUE |
//                   unset SECTION KEY | list [SECTION]
//
// The Registry's settings for people: one call to the service per command. Exit status 0 on
// success; 1, after one line on stderr, when the key or section is missing, the bus refuses the
// call, nothing answers or the output cannot be written; 2 for a usage error. list prints names and
// values escaped (EscapedText), one setting a line; get prints the one value as it is.
#include <dbus-c++/eventloop-integration.h>
#include <dbus/dbus.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bus_connection.h"
#include "command_line.h"
#include "errno_exception.h"
#include "escaped_text.h"
#include "registry_names.h"
#include "safe_fprintf.h"

namespace {

constexpr int kFailureExitStatus = 1;
// Enough for a service the bus first has to start; a hung service must not hang the caller.
constexpr int kReplyTimeoutMilliseconds = 5000;

bool HasName(const DBus::Error& error, const char* name) {
  return error.name() != nullptr && std::strcmp(error.name(), name) == 0;
}

// The one line that tells a person why the call failed.
std::string Explain(const DBus::Error& error, const RegistryRequest& request, const char* member) {
  const std::vector<std::string>& operands = request.operands;
  if (HasName(error, registry_names::kInvalidNameError)) {
    if (operands.empty() || operands[0].empty()) return "empty section name";
    if (request.verb == "list") return "no section '" + operands[0] + "'";
    if (operands[1].empty()) return "empty key name";
    return "no key '" + operands[1] + "' in section '" + operands[0] + "'";
  }
  if (HasName(error, registry_names::kFullError)) return "the Registry is full";
  if (HasName(error, DBUS_ERROR_ACCESS_DENIED)) {
    return std::string("access denied: the bus's policy does not let this user call ") + member +
           " of " + registry_names::kService;
  }
  if (HasName(error, DBUS_ERROR_SERVICE_UNKNOWN) || HasName(error, DBUS_ERROR_NAME_HAS_NO_OWNER)) {
    return std::string("the Registry service ") + registry_names::kService + " is not running";
  }
  if (HasName(error, DBUS_ERROR_NO_REPLY) || HasName(error, DBUS_ERROR_TIMEOUT)) {
    return "the Registry service did not answer in time";
  }
  return std::string(error.name() ? error.name() : "D-Bus error") + ": " +
         (error.message() ? error.message() : "");
}

// Which member of the interface a request calls.
const char* MemberOf(const RegistryRequest& request) {
  if (request.verb == "get") return "Read";
  if (request.verb == "set") return "Write";
  if (request.verb == "unset") return "DeleteKey";
  return request.operands.empty() ? "SectionList" : "KeyList";
}

void PrintReply(DBus::Message& reply, const RegistryRequest& request) {
  DBus::MessageIter reader = reply.reader();
  if (request.verb == "get") {
    std::printf("%s\n", reader.get_string());
  } else if (request.verb == "list" && request.operands.empty()) {
    std::vector<std::string> sections;
    reader >> sections;
    for (const std::string& section : sections) {
      std::printf("%s\n", EscapedText(section).c_str());
    }
  } else if (request.verb == "list") {
    std::map<std::string, std::string> entries;
    reader >> entries;
    // An escaped key holds no "=": the first one on the line ends it.
    for (const auto& [key, value] : entries) {
      std::printf("%s=%s\n", EscapedText(key, "=").c_str(), EscapedText(value).c_str());
    }
  }
}

int Run(const RegistryRequest& request) {
  // Connections need a dispatcher; nothing runs its loop, the call waits for its own reply.
  DBus::BusDispatcher dispatcher;
  DBus::default_dispatcher = &dispatcher;
  const char* member = MemberOf(request);
  DBus::Connection bus = [&] {
    try {
      return ConnectToBus(request.address);
    } catch (const DBus::Error& error) {
      throw std::runtime_error(std::string("cannot connect to the bus: ") + error.message());
    }
  }();
  DBus::CallMessage call(registry_names::kService, registry_names::kObjectPath,
                         registry_names::kService, member);
  DBus::MessageIter writer = call.writer();
  for (const std::string& operand : request.operands) writer.append_string(operand.c_str());
  try {
    DBus::Message reply = bus.send_blocking(call, kReplyTimeoutMilliseconds);
    PrintReply(reply, request);
  } catch (const DBus::Error& error) {
    throw std::runtime_error(Explain(error, request, member));
  }
  return 0;
}

// Writes out what is left of the output; throws saying why it (or an earlier part) failed.
void FinishOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  if (!flushed || std::ferror(stdout)) throw ErrnoException(errno, "cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedCommandLine command_line = ParseCommandLine(argc, argv);
  try {
    const int status = command_line.request ? Run(*command_line.request) : command_line.exit_status;
    FinishOutput();
    return status;
  } catch (const std::exception& error) {
    SafeFprintf(stderr, "ttyweave-registry: %s\n", error.what());
    return kFailureExitStatus;
  }
}
