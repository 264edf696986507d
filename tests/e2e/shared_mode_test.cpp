// The daemon binary in shared mode, configured through a real Registry service on a private
// bus: which settings share the terminal, what the program learns from its environment, the
// kernel log relay, the listener, and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>

#include "dbus_bus.h"
#include "kernel_log.h"
#include "process_probe.h"
#include "pseudo_terminal.h"
#include "sandbox.h"
#include "terminal_client.h"
#include "wait_until.h"

namespace {

using Networking = std::map<std::string, std::string>;

const std::vector<std::string> kShowConsoleEnvironment = {
    "/bin/sh", "-c", "echo \"serial=${CONSOLE_SERIAL-unset} multi=${CONSOLE_MULTI-unset}\" >&2"};
constexpr char kDefaultPrintk[] = "7\t4\t1\t7\n";

// The targets of a process's open descriptors.
std::vector<std::string> OpenFiles(pid_t pid) {
  std::vector<std::string> targets;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
    targets.push_back(std::filesystem::read_symlink(entry.path(), error).string());
  return targets;
}

bool HoldsKernelLog(pid_t pid) {
  for (const std::string& target : OpenFiles(pid))
    if (target == "/dev/kmsg") return true;
  return false;
}

class SharedMode : public ::testing::Test {
 protected:
  // Starts the Registry with these "networking" settings.
  void Configure(const Networking& networking) {
    m_registry = std::make_unique<RegistryServiceProcess>(
        PrivateBus::ProcessWide().Address(), RegistrySettings{{"networking", networking}});
  }
  // Starts the daemon with a pseudo-terminal as its console (standard input and output).
  std::unique_ptr<DaemonProcess> Start(const std::vector<std::string>& program) {
    return m_sandbox.Start(program, {m_console.Slave(), m_console.Slave()});
  }

  std::unique_ptr<RegistryServiceProcess> m_registry;
  Sandbox m_sandbox;
  PseudoTerminal m_console;
};

// Which "telnet" and "ssh" values share the terminal: a port from 1 to 65535, written as plain
// decimal digits with at most a sign.
struct PortCase {
  const char* name;
  Networking networking;
  bool shared;
};

class PortSettings : public SharedMode, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortSettings, SelectTheMode) {
  Configure(GetParam().networking);
  auto daemon = Start(kShowConsoleEnvironment);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  const std::string err = daemon->Stderr();
  if (GetParam().shared) {
    EXPECT_NE(err.find("ttyweave: Starting listener\n"), std::string::npos) << err;
    EXPECT_NE(err.find("multi=1"), std::string::npos) << err;
  } else {
    EXPECT_EQ(err, "ttyweave: serial console only\nserial=1 multi=unset\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, PortSettings,
    ::testing::Values(PortCase{"Telnet23", {{"telnet", "23"}}, true},
                      PortCase{"TelnetPlus23", {{"telnet", "+23"}}, true},
                      PortCase{"TelnetLeadingZeros", {{"telnet", "0023"}}, true},
                      PortCase{"Telnet65535", {{"telnet", "65535"}}, true},
                      PortCase{"Telnet65536", {{"telnet", "65536"}}, false},
                      PortCase{"TelnetNegative", {{"telnet", "-23"}}, false},
                      PortCase{"TelnetLeadingBlank", {{"telnet", " 23"}}, false},
                      PortCase{"TelnetTrailingBlank", {{"telnet", "23 "}}, false},
                      PortCase{"TelnetHex", {{"telnet", "0x17"}}, false},
                      PortCase{"TelnetEmpty", {{"telnet", ""}}, false},
                      PortCase{"SshAlone", {{"ssh", "22"}}, true},
                      PortCase{"TelnetOffSshOn", {{"telnet", "0"}, {"ssh", "22"}}, true},
                      PortCase{"TelnetOnSshJunk", {{"telnet", "23"}, {"ssh", "junk"}}, true}),
    [](const ::testing::TestParamInfo<PortCase>& info) { return std::string(info.param.name); });

TEST_F(SharedMode, WithTheSerialConsoleTheProgramIsToldAndConsoleLoggingIsTurnedDown) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "-1"}, {"telnet_log_level", "4"}});
  auto daemon = Start(kShowConsoleEnvironment);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_NE(daemon->Stderr().find("serial=1 multi=1\n"), std::string::npos) << daemon->Stderr();
  EXPECT_EQ(m_sandbox.PrintkContents(), "0");
}

TEST_F(SharedMode, WithoutTheSerialConsoleTheProgramIsToldAndKernelLoggingIsLeftAlone) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "0"}, {"telnet_log_level", "4"}});
  m_sandbox.SetEnv("CONSOLE_SERIAL", "1");
  auto daemon = Start(kShowConsoleEnvironment);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  const std::string err = daemon->Stderr();
  EXPECT_NE(err.find("ttyweave: serial console is not enabled\n"), std::string::npos) << err;
  EXPECT_NE(err.find("serial=unset multi=1\n"), std::string::npos) << err;
  // The relay still serves the network terminals, so its lines are printed all the same.
  EXPECT_NE(err.find("Logging directly to serial console will be disabled\n"
                     "Logging via ttyweave to level 4\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(m_sandbox.PrintkContents(), kDefaultPrintk);
}

// Without a relay the kernel keeps printing on the console itself.
TEST_F(SharedMode, WithoutAUsableLogLevelConsoleLoggingIsLeftAlone) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "1"}});
  auto daemon = Start(kShowConsoleEnvironment);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_EQ(daemon->Stderr().find("Logging via"), std::string::npos) << daemon->Stderr();
  EXPECT_EQ(m_sandbox.PrintkContents(), kDefaultPrintk);
}

TEST_F(SharedMode, EveryTerminalSeesTheOutputAndEveryTerminalTypesToTheProgram) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "1"}});
  auto daemon = Start({"/bin/sh", "-c", "read line; echo \"typed $line\"; read line; exit 3"});
  TerminalClient network(m_sandbox.SocketPath());
  network.Write("on-network\n");
  ASSERT_TRUE(network.WaitFor("typed on-network\n")) << network.Received() << daemon->Stderr();
  // The console is a terminal left as it was found: its driver turns "\n" into "\r\n".
  EXPECT_NE(m_console.ReadUntil("typed on-network\r\n").find("typed on-network\r\n"),
            std::string::npos);
  m_console.Write("\n");
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 3);
  const std::string err = daemon->Stderr();
  EXPECT_NE(err.find("ttyweave: Received signal 17\nttyweave: Child exited: 3\n"),
            std::string::npos)
      << err;
}

// As on a device: no terminal on standard input, so the daemon opens the serial line itself,
// and the line joins the session as terminal 0, raw both ways.
TEST_F(SharedMode, TheSerialLineOpenedByTheDaemonJoinsTheSession) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "1"}});
  PseudoTerminal serial;
  m_sandbox.SetSerialDevice(serial.SlavePath());
  auto daemon = m_sandbox.Start({"/bin/sh", "-c", "echo ready; read line; echo \"got $line\""});
  TerminalClient network(m_sandbox.SocketPath());
  ASSERT_TRUE(network.WaitFor("ready\n")) << daemon->Stderr();
  EXPECT_NE(serial.ReadUntil("ready\n").find("ready\n"), std::string::npos);
  serial.Write("from-serial\n");
  ASSERT_TRUE(network.WaitFor("got from-serial\n")) << network.Received();
  EXPECT_NE(serial.ReadUntil("got from-serial\n").find("got from-serial\n"), std::string::npos);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
}

TEST_F(SharedMode, AProgramKilledBySignalGives122) {
  Configure({{"telnet", "23"}});
  auto daemon = Start({"/bin/sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 122);
  EXPECT_NE(daemon->Stderr().find("ttyweave: Child exited on signal 9\n"), std::string::npos);
}

// SIGTERM ends the daemon with 121; the program gets SIGTERM and, since it ignores that, SIGKILL.
TEST_F(SharedMode, SigtermGives121AndStopsTheProgram) {
  Configure({{"telnet", "23"}});
  auto daemon =
      Start({"/bin/sh", "-c",
             "trap 'echo program-got-term >&2' TERM; echo ready; while :; do sleep 0.05; done"});
  TerminalClient network(m_sandbox.SocketPath());
  ASSERT_TRUE(network.WaitFor("ready")) << daemon->Stderr();
  const std::vector<pid_t> program = daemon->Descendants();
  ASSERT_FALSE(program.empty());
  daemon->Signal(SIGTERM);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 121);
  const std::string err = daemon->Stderr();
  EXPECT_NE(err.find("ttyweave: Received signal 15\n"), std::string::npos) << err;
  EXPECT_NE(err.find("program-got-term\n"), std::string::npos) << err;
  // Killed and reaped by whoever adopted it.
  EXPECT_TRUE(WaitUntil([&] { return kill(program.front(), 0) != 0; })) << program.front();
}

TEST_F(SharedMode, WithoutTheSocketsOwnerTheSessionRunsWithTheSerialConsoleAlone) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "1"}});
  m_sandbox.SetPasswd("root:x:0:0:root:/root:/bin/sh\n");
  auto daemon = Start({"/bin/sh", "-c", "echo from-program; read line; exit 4"});
  EXPECT_NE(m_console.ReadUntil("from-program").find("from-program"), std::string::npos);
  m_console.Write("\n");
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 4);
  EXPECT_NE(daemon->Stderr().find("ttyweave: Starting listener\n"
                                  "ttyweave: Unable to start telnet listener: User "
                                  "'tessaline'not found\n"),
            std::string::npos)
      << daemon->Stderr();
  EXPECT_FALSE(std::filesystem::exists(m_sandbox.SocketPath()));
}

// Kernel log records logged after start-up and more urgent than the configured level reach the
// terminals as whole lines; earlier and less urgent ones do not.
TEST_F(SharedMode, KernelLogRecordsAboveTheLevelAreRelayed) {
  Configure({{"telnet", "23"}, {"telnet_log_level", "4"}});
  const std::string before = UniqueMarker("before-start");
  WriteKernelLog(3, before);
  auto daemon = Start({"/bin/sh", "-c", "echo ready; read line"});
  TerminalClient network(m_sandbox.SocketPath());
  // The listener starts after the log has been opened at its end.
  ASSERT_TRUE(daemon->WaitForStderr("ttyweave: Starting listener\n"));
  const std::string error = UniqueMarker("error"), warning = UniqueMarker("warning"),
                    info = UniqueMarker("info"), last = UniqueMarker("last");
  WriteKernelLog(6, info);
  WriteKernelLog(3, error + " 100% done");
  WriteKernelLog(4, warning);
  WriteKernelLog(3, last);
  ASSERT_TRUE(network.WaitFor(last + "\r\n")) << network.Received();
  const std::string& received = network.Received();
  EXPECT_TRUE(std::regex_search(
      received, std::regex("\\{[ 0-9]{5,}\\.[0-9]{3}\\} " + error + " 100% done\r\n")))
      << received;
  EXPECT_EQ(received.find(before), std::string::npos);
  EXPECT_EQ(received.find(info), std::string::npos);
  EXPECT_EQ(received.find(warning), std::string::npos);
  EXPECT_NE(daemon->Stderr().find("Logging directly to serial console will be disabled\n"
                                  "Logging via ttyweave to level 4\n"),
            std::string::npos);
  // The program inherits no descriptor of the kernel log, while the daemon reads one. (Until
  // it has started, the forked child is a copy of the daemon, descriptors and all.)
  ASSERT_TRUE(network.WaitFor("ready\n"));
  EXPECT_TRUE(HoldsKernelLog(daemon->Pid()));
  for (pid_t program : daemon->Descendants()) EXPECT_FALSE(HoldsKernelLog(program)) << program;
  network.Write("\n");
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
}

TEST_F(SharedMode, LevelMinusOneRelaysEverything) {
  Configure({{"telnet", "23"}, {"telnet_log_level", "-1"}});
  auto daemon = Start({"/bin/sh", "-c", "read line"});
  TerminalClient network(m_sandbox.SocketPath());
  ASSERT_TRUE(daemon->WaitForStderr("ttyweave: Starting listener\n"));
  EXPECT_NE(daemon->Stderr().find("Logging via ttyweave to level 4294967295\n"), std::string::npos);
  const std::string debug = UniqueMarker("debug");
  WriteKernelLog(7, debug);
  EXPECT_TRUE(network.WaitFor(debug + "\r\n")) << network.Received();
  network.Write("\n");
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
}

class UnusableLogLevel : public SharedMode, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusableLogLevel, RelaysNothingAndLeavesTheLogClosed) {
  Configure({{"telnet", "23"}, {"serial_with_telnet", "1"}, {"telnet_log_level", GetParam()}});
  auto daemon = Start({"/bin/sh", "-c", "read line; echo after-log"});
  TerminalClient network(m_sandbox.SocketPath());
  ASSERT_TRUE(daemon->WaitForStderr("ttyweave: Starting listener\n"));
  const std::string marker = UniqueMarker("unrelayed");
  WriteKernelLog(3, marker);
  EXPECT_FALSE(HoldsKernelLog(daemon->Pid()));
  network.Write("\n");
  ASSERT_TRUE(network.WaitFor("after-log"));
  EXPECT_EQ(network.Received().find(marker), std::string::npos);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_EQ(daemon->Stderr().find("Logging"), std::string::npos) << daemon->Stderr();
  EXPECT_EQ(m_sandbox.PrintkContents(), kDefaultPrintk);
}

INSTANTIATE_TEST_SUITE_P(Values, UnusableLogLevel, ::testing::Values("", "4 ", "high"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0   ? "Empty"
                                              : info.index == 1 ? "TrailingBlank"
                                                                : "Word");
                         });

}  // namespace
