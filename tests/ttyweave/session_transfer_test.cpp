// Bytes through a running session: the child's output to every terminal, the history a late
// terminal receives, keystrokes to the child, and the limit of eight terminals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "session_harness.h"

namespace {

// Prints "ready", waits for a line, copies the file named by its first argument, waits again.
SessionOptions CopyFileOnRequest(const std::string& file) {
  return {{"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; read done", file}};
}

// Compares long byte strings without printing them whole.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t first_difference = 0;
  while (first_difference < actual.size() && first_difference < expected.size() &&
         actual[first_difference] == expected[first_difference])
    ++first_difference;
  return ::testing::AssertionFailure()
         << "received " << actual.size() << " bytes, expected " << expected.size()
         << ", first difference at " << first_difference;
}

}  // namespace

TEST(SessionOutput, ChildOutputReachesEveryNetworkTerminalByteExact) {
  Sandbox sandbox;
  const std::string data = PatternBytes(300000, 1);
  sandbox.WriteFile("data", data);
  auto session = StartSession(sandbox, CopyFileOnRequest(sandbox.PathOf("data")));
  TerminalClient first(sandbox.SocketPath());
  TerminalClient second(sandbox.SocketPath());
  ASSERT_TRUE(first.WaitFor("ready\n")) << session->Stderr();
  ASSERT_TRUE(second.WaitFor("ready\n")) << session->Stderr();

  first.Write("go\n");
  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(WaitForBytesOnAll({&first, &second}, expected.size())) << session->Stderr();
  EXPECT_TRUE(SameBytes(first.Received(), expected));
  EXPECT_TRUE(SameBytes(second.Received(), expected));

  second.Write("done\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 0);
  EXPECT_EQ(
      session->Stderr(),
      "ttyweave: Starting listener\nttyweave: Received signal 17\nttyweave: Child exited: 0\n");
}

TEST(SessionHistory, ATerminalConnectedAfterAHundredBytesReceivesThem) {
  Sandbox sandbox;
  const std::string hundred(100, 'h');
  auto session = StartSession(
      sandbox,
      {{"/bin/sh", "-c", "printf %s \"$0\"; echo printed >&2; read x; echo after", hundred}});
  ASSERT_TRUE(session->WaitForStderr("printed"));
  TerminalClient late(sandbox.SocketPath());
  ASSERT_TRUE(late.WaitForBytes(100));
  late.Write("x\n");
  ASSERT_TRUE(late.WaitFor("after\n"));
  EXPECT_EQ(late.Received(), hundred + "after\n");
}

TEST(SessionHistory, ATerminalConnectedAfter5000BytesReceivesTheLast4095) {
  Sandbox sandbox;
  const std::string data = PatternBytes(5000, 2);
  sandbox.WriteFile("data", data);
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "read go; cat \"$0\"; read x; echo tail",
                                         sandbox.PathOf("data")}});
  TerminalClient early(sandbox.SocketPath());
  early.Write("go\n");
  // Once the early terminal has it all, the session has read all of it into its ring.
  ASSERT_TRUE(early.WaitForBytes(5000)) << session->Stderr();

  TerminalClient late(sandbox.SocketPath());
  ASSERT_TRUE(late.WaitForBytes(4095));
  early.Write("x\n");
  ASSERT_TRUE(late.WaitFor("tail\n"));
  EXPECT_TRUE(SameBytes(late.Received(), data.substr(5000 - 4095) + "tail\n"));
  EXPECT_TRUE(early.WaitFor("tail\n"));
  EXPECT_TRUE(SameBytes(early.Received(), data + "tail\n"));
}

// Written while the session is stopped, in reverse order, the keystrokes are all read in one
// pass: the child receives them in terminal order.
TEST(SessionInput, KeystrokesOfOnePassReachTheChildInTerminalOrder) {
  Sandbox sandbox;
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "echo ready; exec cat"}});
  std::vector<std::unique_ptr<TerminalClient>> terminals;
  for (int i = 0; i < 3; ++i) {
    terminals.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    ASSERT_TRUE(terminals.back()->WaitFor("ready\n")) << session->Stderr();
  }
  session->Signal(SIGSTOP);
  ASSERT_TRUE(WaitUntilStopped(session->Pid()));
  terminals[2]->Write("third-");
  terminals[1]->Write("second-");
  terminals[0]->Write("first-");
  session->Signal(SIGCONT);
  for (auto& terminal : terminals) {
    ASSERT_TRUE(terminal->WaitFor("third-")) << terminal->Received();
    EXPECT_EQ(terminal->Received(), "ready\nfirst-second-third-");
  }
}

// Bytes typed on the serial console and on a network terminal both reach the child, and the
// console receives the same output as the network terminal.
TEST(SessionInput, SerialConsoleAndNetworkTerminalBothTypeToTheChild) {
  Sandbox sandbox;
  int console[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, console), 0);
  SessionOptions options{
      {"/bin/sh", "-c", "echo ready; read a; echo \"first $a\"; read b; echo \"then $b\"; read c"}};
  options.serial_console = console[1];
  auto session = StartSession(sandbox, options);
  close(console[1]);
  TerminalClient network(sandbox.SocketPath());
  ASSERT_TRUE(network.WaitFor("ready\n"));
  network.Write("net\n");
  ASSERT_TRUE(network.WaitFor("first net\n")) << network.Received();
  ASSERT_EQ(write(console[0], "serial\n", 7), 7);
  ASSERT_TRUE(network.WaitFor("then serial\n")) << network.Received();
  const std::string expected = "ready\nfirst net\nthen serial\n";
  EXPECT_EQ(network.Received(), expected);
  std::string on_console;
  ASSERT_TRUE(WaitUntil([&] {
    char buffer[256];
    const ssize_t n = recv(console[0], buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) on_console.append(buffer, n);
    return on_console.size() >= expected.size();
  }));
  EXPECT_EQ(on_console, expected);
  close(console[0]);
}

TEST(SessionTerminals, WithTheSerialConsoleTheEighthNetworkClientIsRefused) {
  Sandbox sandbox;
  int console[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, console), 0);
  SessionOptions options{{"/bin/sh", "-c", "echo ready; read x; echo after; read y"}};
  options.serial_console = console[1];
  auto session = StartSession(sandbox, options);
  close(console[1]);
  std::vector<std::unique_ptr<TerminalClient>> terminals;
  for (int i = 0; i < 7; ++i) {
    terminals.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    ASSERT_TRUE(terminals.back()->WaitFor("ready\n")) << "terminal " << i;
  }
  TerminalClient refused(sandbox.SocketPath());
  ASSERT_TRUE(refused.WaitForEnd());
  EXPECT_EQ(refused.Received(), "Too many terminals");

  terminals[6]->Write("x\n");
  for (auto& terminal : terminals) EXPECT_TRUE(terminal->WaitFor("ready\nafter\n"));
  close(console[0]);
}

TEST(SessionTerminals, WithoutTheSerialConsoleEightNetworkTerminalsFit) {
  Sandbox sandbox;
  auto session =
      StartSession(sandbox, {{"/bin/sh", "-c", "echo ready; read x; echo after; read y"}});
  std::vector<std::unique_ptr<TerminalClient>> terminals;
  for (int i = 0; i < 8; ++i) {
    terminals.push_back(std::make_unique<TerminalClient>(sandbox.SocketPath()));
    ASSERT_TRUE(terminals.back()->WaitFor("ready\n")) << "terminal " << i;
  }
  TerminalClient refused(sandbox.SocketPath());
  ASSERT_TRUE(refused.WaitForEnd());
  EXPECT_EQ(refused.Received(), "Too many terminals");
  // A place freed by a leaving terminal is taken by the next client.
  terminals[3].reset();
  TerminalClient next(sandbox.SocketPath());
  ASSERT_TRUE(next.WaitFor("ready\n"));
  next.Write("x\n");
  EXPECT_TRUE(next.WaitFor("after\n"));
  EXPECT_TRUE(terminals[0]->WaitFor("after\n"));
}

// What the child writes just before it exits is still delivered, to every terminal that takes it.
TEST(SessionOutput, TheChildsLastOutputStillReachesEveryTerminal) {
  Sandbox sandbox;
  const std::string data = PatternBytes(200000, 8);
  sandbox.WriteFile("data", data);
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; exit 7",
                                         sandbox.PathOf("data")}});
  TerminalClient first(sandbox.SocketPath());
  TerminalClient second(sandbox.SocketPath());
  ASSERT_TRUE(first.WaitFor("ready\n"));
  ASSERT_TRUE(second.WaitFor("ready\n"));
  first.Write("go\n");
  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(WaitForBytesOnAll({&first, &second}, expected.size())) << session->Stderr();
  EXPECT_TRUE(SameBytes(first.Received(), expected));
  EXPECT_TRUE(SameBytes(second.Received(), expected));
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 7);
  EXPECT_TRUE(first.WaitForEnd());
}
