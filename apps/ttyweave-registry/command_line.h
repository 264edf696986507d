// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <vector>

// What `ttyweave-registry` was asked to do.
struct RegistryRequest {
  std::optional<std::string> address;  // none: the system bus
  std::string verb;                    // "get", "set", "unset" or "list"
  std::vector<std::string> operands;   // SECTION, KEY, VALUE as the verb takes them
};

// The outcome of reading the command line: a request, or the exit status to end with at once
// (after the help text on stdout, or a problem and the usage on stderr).
struct ParsedCommandLine {
  std::optional<RegistryRequest> request;
  int exit_status = 0;
};

// Parses "ttyweave-registry [--address ADDRESS] VERB OPERANDS..." and "-h" / "--help". Options
// come before the verb, so that a value may begin with "-" ("set networking level -1").
ParsedCommandLine ParseCommandLine(int argc, char** argv);
