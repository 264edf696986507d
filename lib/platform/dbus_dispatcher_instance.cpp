// SPDX-License-Identifier: MIT
// The process's D-Bus dispatcher, created during static initialisation so that it exists before
// main and before any connection. Built as an object library linked straight into executables:
// no symbol refers to this file, so from a static library it would be left out.
#include "dbus_dispatcher.h"

namespace {

EnsureDBusDispatcher process_dispatcher;

}  // namespace
