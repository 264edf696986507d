// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <dbus/dbus.h>

#include <cstdio>
#include <cstring>

#include "safe_fprintf.h"

namespace {

constexpr int kUsageExitStatus = 2;

constexpr char kUsage[] =
    "Usage: ttyweave-registry [--address ADDRESS] get SECTION KEY\n"
    "       ttyweave-registry [--address ADDRESS] set SECTION KEY VALUE\n"
    "       ttyweave-registry [--address ADDRESS] unset SECTION KEY\n"
    "       ttyweave-registry [--address ADDRESS] list [SECTION]\n"
    "Reads and changes the settings of the Registry service com.zarnix.Registry on the system\n"
    "bus, or on the bus at ADDRESS. list prints the sections, one a line, or with a SECTION its\n"
    "settings as KEY=VALUE lines, escaped: \\\\ for a backslash, \\n for a newline, \\xHH for\n"
    "other control characters and for = in a key. get prints the value as it is.\n";

struct Verb {
  const char* name;
  std::size_t min_operands;
  std::size_t max_operands;
};

constexpr Verb kVerbs[] = {{"get", 2, 2}, {"set", 3, 3}, {"unset", 2, 2}, {"list", 0, 1}};

ParsedCommandLine UsageError(const char* problem, const char* detail) {
  SafeFprintf(stderr, "ttyweave-registry: %s%s\n%s", problem, detail, kUsage);
  return {std::nullopt, kUsageExitStatus};
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
  RegistryRequest request;
  int next = 1;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    const char* option = argv[next];
    if (std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return {std::nullopt, 0};
    }
    if (std::strcmp(option, "--address") == 0 && next + 1 < argc) {
      request.address = argv[++next];
    } else if (std::strncmp(option, "--address=", 10) == 0) {
      request.address = option + 10;
    } else {
      return UsageError("unknown option or missing value: ", option);
    }
  }
  if (next == argc) return UsageError("no command given", "");
  request.verb = argv[next++];
  request.operands.assign(argv + next, argv + argc);
  for (const Verb& verb : kVerbs) {
    if (request.verb != verb.name) continue;
    if (request.operands.size() < verb.min_operands ||
        request.operands.size() > verb.max_operands) {
      return UsageError("wrong number of operands for ", verb.name);
    }
    // The bus carries only UTF-8 text; libdbus treats anything else as a fatal error.
    for (const std::string& operand : request.operands) {
      if (!dbus_validate_utf8(operand.c_str(), nullptr)) {
        return UsageError("not UTF-8 text: ", operand.c_str());
      }
    }
    return {request, 0};
  }
  return UsageError("unknown command: ", request.verb.c_str());
}
