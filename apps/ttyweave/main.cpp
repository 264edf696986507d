// ttyweave <prog> [<params...>]: shares one program's terminal between the serial console and
// network terminals, or runs it on the serial console alone when no network login is set up.
#include <cstdio>

#include "console.h"
#include "exception_handlers.h"
#include "serial_only.h"
#include "share_config.h"
#include "shared_mode.h"

namespace {

constexpr int kUsageExitStatus = 1;
// Start-up could not go on (no console, a failed system call, a program that cannot run).
constexpr int kStartupFailureExitStatus = 1;

int Run(int argc, char** argv) {
  // Read before the command line is looked at: even a start without arguments consults the
  // Registry.
  ShareConfig config;
  ReadShareConfig(config);
  if (argc < 2) {
    std::fputs("Usage: ttyweave <prog> [<params...>]\n", stderr);
    return kUsageExitStatus;
  }
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
