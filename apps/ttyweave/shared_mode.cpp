// SPDX-License-Identifier: MIT
#include "shared_mode.h"

#include <cstdlib>
#include <exception>
#include <memory>

#include "console_log.h"
#include "console_settings.h"
#include "nonblocking_console.h"
#include "raw_console.h"
#include "recording.h"
#include "safe_fprintf.h"
#include "session.h"
#include "share_config.h"

int RunSharedMode(const ShareConfig& config, int /*argc*/, char** argv) {
  const ConsoleSettings console_settings = ReadConsoleSettings();
  NonBlockingConsole console;
  // Keys reach the program as bytes, echo is the program's business; the console's settings are
  // put back when the session has ended, however it ends.
  RawConsole raw_console(0);
  SharedSession session;
  session.SetupSignals();
  session.SetupKmsg(ReadKernelLogLevel());

  // Set just before the child starts, so that it inherits them.
  setenv("CONSOLE_MULTI", "1", 1);
  if (config.serial_with_telnet) {
    setenv("CONSOLE_SERIAL", "1", 1);
  } else {
    unsetenv("CONSOLE_SERIAL");
  }
  // What takes the output without holding the program back, made before the program starts so
  // that it holds the first byte.
  if (!console_settings.log_file.empty())
    session.AddConsumer(std::make_unique<ConsoleLog>(console_settings.log_file,
                                                     console_settings.log_size,
                                                     SharedSession::CommandLine(argv + 1)));
  if (!console_settings.recording.empty())
    session.AddConsumer(std::make_unique<Recording>(
        console_settings.recording, console_settings.recording_size,
        SharedSession::CommandLine(argv + 1), console_settings.window_size));
  session.SetWindowSize(console_settings.window_size);
  session.StartChild(argv + 1);

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
