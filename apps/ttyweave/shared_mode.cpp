#include "shared_mode.h"

#include <cstdlib>
#include <exception>

#include "nonblocking_console.h"
#include "raw_console.h"
#include "safe_fprintf.h"
#include "shared_session.h"

int RunSharedMode(const ShareConfig& config, int argc, char** argv) {
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
  session.StartChild(argc - 1, argv + 1);

  try {
    SafeFprintf(stderr, "ttyweave: Starting listener\n");
    session.StartListener();
  } catch (const std::exception& error) {
    // The serial console alone (if it takes part) still serves the program.
    SafeFprintf(stderr, "ttyweave: Unable to start telnet listener: %s\n", error.what());
  }

  if (config.serial_with_telnet) {
    session.AddTerminal(0);
    session.DisableConsoleLogging();
  } else {
    SafeFprintf(stderr, "ttyweave: serial console is not enabled\n");
  }

  session.RunSession();
  return session.GetExitStatus();
}
