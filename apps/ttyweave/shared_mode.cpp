// SPDX-License-Identifier: MIT
#include "shared_mode.h"

#include <cstdlib>
#include <exception>

#include "console_settings.h"
#include "nonblocking_console.h"
#include "raw_console.h"
#include "safe_fprintf.h"
#include "shared_session.h"

int RunSharedMode(const ShareConfig& config, int argc, char** argv) {
  const ConsoleSettings console_settings = ReadConsoleSettings();
  NonBlockingConsole console;
  // Keys reach the program as bytes, echo is the program's business; the console's settings are
  // put back when the session has ended, however it ends.
  RawConsole raw_console(0);
  SharedSession session;
  session.SetupSignals();
  session.SetupKmsg();

  // Set just before the child starts, so that it inherits them.
  setenv("CONSOLE_MULTI", "1", 1);
  if (config.serial_with_telnet) {
    setenv("CONSOLE_SERIAL", "1", 1);
  } else {
    unsetenv("CONSOLE_SERIAL");
  }
  // Started before the child, so that it holds the program's first byte.
  if (!console_settings.log_file.empty())
    session.StartLog(console_settings.log_file, console_settings.log_size, argv + 1);
  session.StartChild(argc - 1, argv + 1);

  try {
    SafeFprintf(stderr, "ttyweave: Starting listener\n");
    session.StartListener();
  } catch (const std::exception& error) {
    // The serial console alone (if it takes part) still serves the program.
    SafeFprintf(stderr, "ttyweave: Unable to start telnet listener: %s\n", error.what());
  }
  if (console_settings.viewers > 0) {
    try {
      session.StartViewListener(console_settings.viewers);
    } catch (const std::exception& error) {
      // Viewers are an extra: the session goes on without them.
      SafeFprintf(stderr, "ttyweave: Unable to start viewer listener: %s\n", error.what());
    }
  }

  if (config.serial_with_telnet) {
    session.AddSerialConsole();
    session.DisableConsoleLogging();
  } else {
    SafeFprintf(stderr, "ttyweave: serial console is not enabled\n");
  }

  session.RunSession();
  return session.GetExitStatus();
}
