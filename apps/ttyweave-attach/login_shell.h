// SPDX-License-Identifier: MIT
#pragma once

#include <optional>

#include "command_line.h"

// Whether the client was started as the login shell of an account: by a login ("-" before its
// name) or by a remote-login service running a command ("-c COMMAND").
bool StartedAsLoginShell(int argc, char** argv);

// The options of a client that is an account's login shell. It only ever joins the session:
// "-c" may name ttyweave-attach with its options (sshd's ForceCommand, a key's command=) and
// nothing else; the viewers' account joins read-only on the viewers' socket whatever it names.
// Returns no options, after saying why on standard error, for any other command.
std::optional<AttachOptions> ParseLoginShell(int argc, char** argv);
