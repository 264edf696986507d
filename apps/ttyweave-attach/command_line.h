// SPDX-License-Identifier: MIT
#pragma once

#include <optional>

#include "terminal_socket.h"

// ^\ : a control key that shells and editors seldom need, as in other terminal-sharing tools.
constexpr unsigned char kDefaultDetachKey = 0x1c;

struct AttachOptions {
  const char* socket_path = kListenerPath;
  // Nothing typed is sent to the session; the detach key still works.
  bool read_only = false;
  // No value: detaching is disabled ("-e none").
  std::optional<unsigned char> detach_key = kDefaultDetachKey;
};

// Answers -h, --help and --version (argv[1]) on standard output; returns the exit status, or
// no value for any other command line.
std::optional<int> AnswerOwnOption(int argc, char** argv);

// Parses "ttyweave-attach [-r] [-e KEY] [SOCKET]". Returns no options, after writing the
// problem and the usage line to standard error, when the command line is not valid.
std::optional<AttachOptions> ParseCommandLine(int argc, char** argv);

// The byte a control-key name stands for: "^X" (a letter, one of @[\]^_ or ? for DEL).
// Returns no value for any other name.
std::optional<unsigned char> ParseControlKey(const char* name);
