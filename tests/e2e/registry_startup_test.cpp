// The daemon binary consulting the Registry at start-up: it reaches a Registry service on the
// system bus before looking at its command line, and carries on in serial-only mode when there
// is no Registry or no bus at all.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "dbus_bus.h"
#include "process_probe.h"
#include "pseudo_terminal.h"
#include "sandbox.h"

namespace {

const std::vector<std::string> kShowConsoleEnvironment = {
    "/bin/sh", "-c", "echo \"serial=${CONSOLE_SERIAL-unset} multi=${CONSOLE_MULTI-unset}\" >&2"};
constexpr char kUsage[] = "Usage: ttyweave <prog> [<params...>]\n";
constexpr char kUnavailable[] = "ttyweave: Registry unavailable: ";

// Points the daemon's system bus at a socket that does not exist.
void RemoveTheBus(Sandbox& sandbox) {
  sandbox.SetEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandbox.PathOf("no-bus-socket"));
}

// The first line of `text` and the rest.
std::pair<std::string, std::string> SplitFirstLine(const std::string& text) {
  const std::size_t end = text.find('\n');
  if (end == std::string::npos) return {text, ""};
  return {text.substr(0, end + 1), text.substr(end + 1)};
}

}  // namespace

// Nothing in the daemon's main creates a D-Bus dispatcher: reaching the Registry shows that the
// one made during static initialisation is there.
TEST(RegistryStartup, WithoutAProgramTheRegistryIsConsultedBeforeTheUsage) {
  RegistryServiceProcess registry(PrivateBus::ProcessWide().Address(),
                                  {{"networking", {{"telnet", "23"}}}});
  Sandbox sandbox;
  auto daemon = sandbox.Start({});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 1);
  EXPECT_EQ(daemon->Stderr(), kUsage);
  EXPECT_EQ(registry.Output(),
            "ready\n"
            "Read [\"networking\",\"telnet\"]\n"
            "Read [\"networking\",\"ssh\"]\n"
            "Read [\"networking\",\"serial_with_telnet\"]\n");
}

TEST(RegistryStartup, WithoutAProgramOrABusTheReportComesBeforeTheUsage) {
  Sandbox sandbox;
  RemoveTheBus(sandbox);
  auto daemon = sandbox.Start({});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 1);
  const auto [report, rest] = SplitFirstLine(daemon->Stderr());
  EXPECT_EQ(report.rfind(kUnavailable, 0), 0u) << report;
  EXPECT_EQ(rest, kUsage);
}

TEST(RegistryStartup, WithoutABusOneLineReportsItAndTheProgramRunsOnTheSerialConsoleAlone) {
  Sandbox sandbox;
  RemoveTheBus(sandbox);
  PseudoTerminal console;
  sandbox.SetEnv("CONSOLE_MULTI", "1");
  auto daemon = sandbox.Start(kShowConsoleEnvironment, {console.Slave(), console.Slave()});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  const auto [report, rest] = SplitFirstLine(daemon->Stderr());
  EXPECT_EQ(report.rfind(kUnavailable, 0), 0u) << report;
  EXPECT_NE(report.find("No such file or directory"), std::string::npos) << report;
  EXPECT_EQ(rest, "ttyweave: serial console only\nserial=1 multi=unset\n");
}
