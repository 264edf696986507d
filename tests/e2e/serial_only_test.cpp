// Start-up and serial-only mode of the daemon binary: with no network login configured the
// daemon becomes the program on the serial console.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "process_probe.h"
#include "pseudo_terminal.h"
#include "sandbox.h"

namespace {

// Prints the two variables that tell a program how it is reached.
const std::vector<std::string> kShowConsoleEnvironment = {
    "/bin/sh", "-c", "echo \"serial=${CONSOLE_SERIAL-unset} multi=${CONSOLE_MULTI-unset}\" >&2"};

}  // namespace

TEST(Startup, WithoutAProgramPrintsUsageAndExits1) {
  Sandbox sandbox;
  auto daemon = sandbox.Start({});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 1);
  EXPECT_EQ(daemon->Stderr(), "Usage: ttyweave <prog> [<params...>]\n");
}

TEST(SerialOnly, ProgramSeesOnlyTheSerialConsoleInItsEnvironment) {
  Sandbox sandbox;
  PseudoTerminal console;
  sandbox.SetEnv("CONSOLE_MULTI", "1");
  sandbox.SetEnv("CONSOLE_SERIAL", "0");
  auto daemon = sandbox.Start(kShowConsoleEnvironment, {console.Slave(), console.Slave()});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  // A session leader with a terminal: nothing to say about the process group or the console.
  EXPECT_EQ(daemon->Stderr(), "ttyweave: serial console only\nserial=1 multi=unset\n");
}

TEST(SerialOnly, ArgumentsPassThroughAndTheProgramsStatusIsTheDaemons) {
  Sandbox sandbox;
  PseudoTerminal console;
  auto daemon = sandbox.Start({"sh", "-c", "echo \"$0|$1|$2\" >&2; exit 7", "zero", "-x", "a b"},
                              {console.Slave(), console.Slave()});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 7);
  EXPECT_NE(daemon->Stderr().find("zero|-x|a b\n"), std::string::npos) << daemon->Stderr();
}

TEST(ProcessGroup, AnOrdinaryChildBecomesSessionLeaderDespiteSetpgidRefusal) {
  Sandbox sandbox;
  PseudoTerminal console;
  auto daemon = sandbox.Start({"/bin/sh", "-c", "cut -d' ' -f5,6 /proc/$$/stat >&2"},
                              {console.Slave(), console.Slave()}, /*session_leader=*/false);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  const std::string err = daemon->Stderr();
  EXPECT_EQ(
      err.rfind("Failed to setpgid: Operation not permitted\nttyweave: serial console only\n", 0),
      0u)
      << err;
  EXPECT_EQ(err.find("Parent is not a process group leader"), std::string::npos) << err;
  // The program (the daemon's own process) leads its group and session.
  const std::string pid = std::to_string(daemon->Pid());
  EXPECT_NE(err.find(pid + " " + pid), std::string::npos) << err;
}

TEST(Console, ATerminalOnStandardInputIsLeftUntouched) {
  Sandbox sandbox;
  PseudoTerminal console, serial;
  struct termios before;
  ASSERT_EQ(tcgetattr(console.Slave(), &before), 0);
  cfsetspeed(&before, B9600);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(console.Slave(), TCSANOW, &before), 0);
  struct termios serial_before;
  ASSERT_EQ(tcgetattr(serial.Slave(), &serial_before), 0);
  sandbox.SetSerialDevice(serial.SlavePath());

  auto daemon =
      sandbox.Start({"/bin/sh", "-c", "echo on-console"}, {console.Slave(), console.Slave()});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_NE(console.ReadUntil("on-console").find("on-console"), std::string::npos);

  struct termios after, serial_after;
  ASSERT_EQ(tcgetattr(console.Slave(), &after), 0);
  ASSERT_EQ(tcgetattr(serial.Slave(), &serial_after), 0);
  EXPECT_EQ(cfgetospeed(&after), B9600);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(serial_after.c_lflag, serial_before.c_lflag);
  EXPECT_EQ(cfgetospeed(&serial_after), cfgetospeed(&serial_before));
}

// No terminal on standard input: the serial line is opened, set to 115200 baud raw 8N1, and
// becomes standard input and output (but not standard error).
TEST(Console, WithoutATerminalTheSerialLineBecomesStandardInputAndOutput) {
  Sandbox sandbox;
  PseudoTerminal serial;
  struct termios cooked;
  ASSERT_EQ(tcgetattr(serial.Slave(), &cooked), 0);
  cfsetspeed(&cooked, B9600);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_cflag |= PARENB | CSTOPB;
  ASSERT_EQ(tcsetattr(serial.Slave(), TCSANOW, &cooked), 0);
  sandbox.SetSerialDevice(serial.SlavePath());

  auto daemon = sandbox.Start(
      {"/bin/sh", "-c", "echo ready; read line; echo \"got $line\"; echo on-stderr >&2"});
  ASSERT_NE(serial.ReadUntil("ready").find("ready"), std::string::npos) << daemon->Stderr();

  struct termios line;
  ASSERT_EQ(tcgetattr(serial.Slave(), &line), 0);
  EXPECT_EQ(cfgetispeed(&line), B115200);
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_iflag & (ICRNL | BRKINT | IXON), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 1);

  serial.Write("hello\n");
  EXPECT_NE(serial.ReadUntil("got hello").find("got hello"), std::string::npos);
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_EQ(daemon->Stderr(), "ttyweave: serial console only\non-stderr\n");
}

TEST(SerialOnly, AConsoleThatIsNoTerminalStillRunsTheProgram) {
  Sandbox sandbox;  // /dev/ttyS0 is an ordinary file here
  auto daemon = sandbox.Start({"/bin/sh", "-c", "echo ran >&2"});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 0);
  EXPECT_EQ(daemon->Stderr(),
            "Failed to get serial configuration: Inappropriate ioctl for device\n"
            "ttyweave: serial console only\n"
            "Failed to make our terminal controlling: Inappropriate ioctl for device\n"
            "ran\n");
}

TEST(SerialOnly, AMissingProgramEndsStartUpWithTheUncaughtExceptionReport) {
  Sandbox sandbox;
  PseudoTerminal console;
  auto daemon =
      sandbox.Start({"ttyweave-no-such-program", "arg"}, {console.Slave(), console.Slave()});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 1);
  EXPECT_EQ(daemon->Stderr(),
            "ttyweave: serial console only\n"
            "Unhandled exception of type '14ErrnoException'.\n"
            "  what(): ttyweave-no-such-program: No such file or directory (2)\n");
}

TEST(Console, ASerialDeviceThatCannotBeOpenedEndsStartUp) {
  Sandbox sandbox;
  // Opening a socket file fails with ENXIO.
  const std::string socket_path = sandbox.PathOf("not-a-device");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  sandbox.SetSerialDevice(socket_path);

  auto daemon = sandbox.Start({"/bin/sh", "-c", "echo must-not-run >&2"});
  EXPECT_EQ(ExitCodeOf(daemon->WaitExit()), 1);
  EXPECT_EQ(daemon->Stderr(), "Failed to open console /dev/ttyS0: No such device or address\n");
  close(listener);
}
