// SPDX-License-Identifier: MIT
// ttyweave <prog> [<params...>]: shares one program's terminal between the serial console and
// network terminals, or runs it on the serial console alone when no network login is set up.
#include <cstdio>
#include <cstring>

#include "console.h"
#include "exception_handlers.h"
#include "exit_status.h"
#include "running_instance.h"
#include "serial_only.h"
#include "share_config.h"
#include "shared_mode.h"

namespace {

constexpr char kUsage[] = "Usage: ttyweave <prog> [<params...>]\n";
// --help: the usage line, then what the daemon does and where to read more.
constexpr char kHelp[] =
    "\n"
    "Runs <prog> on the console and shares its terminal between the serial console and up to\n"
    "seven network terminals that join over the Unix socket /var/run/ttyweave-socket\n"
    "(ttyweave-attach, or ssh as the user tessaline). With no network terminals set up it runs\n"
    "<prog> on the serial console alone. The settings (sharing, the serial console's part, the\n"
    "kernel log level, the console log, viewers) come from the Registry service\n"
    "com.zarnix.Registry on the system bus, sections networking and console, read at start.\n"
    "The console is standard input when it is a terminal, /dev/ttyS0 otherwise.\n"
    "\n"
    "A person's session needs a program that sets its terminal up: agetty, or\n"
    "/usr/lib/ttyweave/with-terminal /bin/login -f root on a trusted line.\n"
    "More: ttyweave(8), ttyweave-attach(1).\n";

// Handles the options that only ask about the daemon itself; returns whether argv[1] was one.
// They come before the Registry, so that they answer at once with or without a system bus.
bool AnswerOwnOption(const char* option) {
  if (std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return true;
  }
  if (std::strcmp(option, "--version") == 0) {
    std::fputs("ttyweave " TTYWEAVE_VERSION "\n", stdout);
    return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  if (argc >= 2 && AnswerOwnOption(argv[1])) return 0;
  // Read before the command line is looked at: even a start without arguments consults the
  // Registry.
  ShareConfig config;
  ReadShareConfig(config);
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kUsageExitStatus;
  }
  // Before the console, the kernel's console level or the log is touched: they are the other
  // daemon's.
  if (config.network_enabled && AnotherInstanceRuns()) return kStartupFailureExitStatus;
  SetupProcessGroup();
  if (!ConfigureConsole()) return kStartupFailureExitStatus;
  if (!config.network_enabled) RunSerialOnly(argc, argv);
  return RunSharedMode(config, argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  InstallExceptionHandlers();
  try {
    return Run(argc, argv);
  } catch (...) {
    // Same report as an uncaught exception, but unwinding first, so that everything start-up
    // owns (a running child included) is released in order.
    ReportUncaughtException();
    return kStartupFailureExitStatus;
  }
}
