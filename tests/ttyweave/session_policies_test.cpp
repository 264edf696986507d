// How the session treats terminals that misbehave: a network terminal that stops reading is
// disconnected while the others lose nothing; a vanishing client costs nothing but itself; a
// full input ring disconnects nobody and loses no keystroke; and no such state makes the
// session spin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "session_harness.h"

namespace {

// CPU a process used over a measuring interval; a session asleep in poll uses next to none.
constexpr std::chrono::milliseconds kCpuMeasuringInterval{1500};
// Far above an idle session's use and far below a spinning one's (a whole core, 1.5 s).
constexpr double kIdleCpuBound = 0.15;

double CpuUsedOverInterval(pid_t pid) {
  const double before = CpuSeconds(pid);
  std::this_thread::sleep_for(kCpuMeasuringInterval);
  return CpuSeconds(pid) - before;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

::testing::AssertionResult IsPrefix(const std::string& prefix, const std::string& whole) {
  if (prefix.size() <= whole.size() && whole.compare(0, prefix.size(), prefix) == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << prefix.size() << " bytes are not a prefix of the stream";
}

size_t UnsentBytes(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? static_cast<size_t>(queued) : 0;
}

}  // namespace

TEST(BlockedTerminal, IsDisconnectedWhileTheOthersReceiveEveryByte) {
  Sandbox sandbox;
  const std::string data = PatternBytes(2000000, 3);
  sandbox.WriteFile("data", data);
  auto session = StartSession(
      sandbox,
      {{"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; read done", sandbox.PathOf("data")}});
  TerminalClient stalled(sandbox.SocketPath());
  TerminalClient reader(sandbox.SocketPath());
  ASSERT_TRUE(stalled.WaitFor("ready\n"));
  ASSERT_TRUE(reader.WaitFor("ready\n"));

  reader.Write("go\n");
  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(reader.WaitForBytes(expected.size(), std::chrono::seconds(30))) << session->Stderr();
  EXPECT_TRUE(reader.Received() == expected);
  EXPECT_NE(session->Stderr().find("ttyweave: Terminal 0 is blocked. Disconnecting.\n"),
            std::string::npos)
      << session->Stderr();
  // What the stalled terminal got before it was dropped is an unbroken start of the stream.
  ASSERT_TRUE(stalled.WaitForEnd());
  EXPECT_LT(stalled.Received().size(), expected.size());
  EXPECT_TRUE(IsPrefix(stalled.Received(), expected));

  reader.Write("done\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 0);
}

// One client stops receiving in the middle of the output (the session's next write to it
// fails with EPIPE and raises SIGPIPE), another closes with data unread: the session goes on.
TEST(VanishingTerminal, CostsTheSessionNothingButItself) {
  Sandbox sandbox;
  const std::string data = PatternBytes(2000000, 4);
  sandbox.WriteFile("data", data);
  auto session = StartSession(
      sandbox,
      {{"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; read done", sandbox.PathOf("data")}});
  TerminalClient half_closed(sandbox.SocketPath());
  TerminalClient closed(sandbox.SocketPath());
  TerminalClient reader(sandbox.SocketPath());
  for (TerminalClient* client : {&half_closed, &closed, &reader})
    ASSERT_TRUE(client->WaitFor("ready\n"));

  reader.Write("go\n");
  ASSERT_TRUE(WaitForBytesOnAll({&half_closed, &closed, &reader}, 100000));
  half_closed.ReadAvailable();
  ASSERT_EQ(shutdown(half_closed.Fd(), SHUT_RD), 0);
  closed.Close();

  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(reader.WaitForBytes(expected.size(), std::chrono::seconds(30))) << session->Stderr();
  EXPECT_TRUE(reader.Received() == expected);
  ASSERT_TRUE(session->WaitForStderr("ttyweave: Unexpected signal 13\n")) << session->Stderr();
  const std::string err = session->Stderr();
  EXPECT_NE(err.find("ttyweave: Abandoning terminal 0 due to 'Broken pipe' on write\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("ttyweave: Received signal 13\n"), std::string::npos) << err;

  reader.Write("done\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 0);
}

// The child does not read while two terminals type far more than the pseudo-terminal and the
// input ring hold; one of them hangs up with bytes still unread. Nobody is disconnected, the
// session sleeps meanwhile, and once the child reads, every byte of both arrives in order.
TEST(FullInputRing, NeitherDisconnectsNorLosesKeystrokesNorSpins) {
  Sandbox sandbox;
  const std::string flag = sandbox.PathOf("flag");
  const std::string received = sandbox.PathOf("received");
  auto session = StartSession(
      sandbox, {{"/bin/sh", "-c",
                 "echo ready; while [ ! -e \"$0\" ]; do sleep 0.02; done; exec cat > \"$1\"", flag,
                 received}});
  TerminalClient typist(sandbox.SocketPath());
  TerminalClient leaver(sandbox.SocketPath());
  ASSERT_TRUE(typist.WaitFor("ready\n"));
  ASSERT_TRUE(leaver.WaitFor("ready\n"));

  // Each terminal types from its own half of the byte values, so the merged input can be split.
  std::string typed = PatternBytes(1000000, 5);
  for (char& byte : typed) byte = static_cast<char>(byte & 0x7f);
  std::string left_behind = PatternBytes(60000, 6);
  for (char& byte : left_behind) byte = static_cast<char>(byte | 0x80);

  std::atomic<bool> typed_all{false};
  std::thread typing([&] {
    try {
      typist.Write(typed);
      typed_all = true;
    } catch (const std::exception&) {
      // The session dropped the typist: seen below as missing bytes.
    }
  });
  // Whatever happens below, the typing thread ends: a dropped connection ends its send.
  struct JoinTyping {
    std::thread& thread;
    int fd;
    ~JoinTyping() {
      shutdown(fd, SHUT_RDWR);
      thread.join();
    }
  } join_typing{typing, typist.Fd()};
  // The typist's bytes pile up in its socket: the pseudo-terminal and the input ring are full.
  ASSERT_TRUE(WaitUntil([&] { return UnsentBytes(typist.Fd()) >= 100000; })) << session->Stderr();
  leaver.Write(left_behind);
  leaver.Close();

  EXPECT_LT(CpuUsedOverInterval(session->Pid()), kIdleCpuBound) << "the session spins";

  sandbox.WriteFile("flag", "");
  const size_t total = typed.size() + left_behind.size();
  ASSERT_TRUE(
      WaitUntil([&] { return ReadWholeFile(received).size() >= total; }, std::chrono::seconds(30)))
      << ReadWholeFile(received).size() << " of " << total << "\n"
      << session->Stderr();
  const std::string merged = ReadWholeFile(received);
  std::string from_typist, from_leaver;
  for (char byte : merged) (byte & 0x80 ? from_leaver : from_typist).push_back(byte);
  EXPECT_TRUE(from_typist == typed) << from_typist.size() << " of " << typed.size();
  EXPECT_TRUE(WaitUntil([&] { return typed_all.load(); }));
  EXPECT_TRUE(from_leaver == left_behind) << from_leaver.size() << " of " << left_behind.size();

  const std::string err = session->Stderr();
  EXPECT_EQ(err.find("Disconnecting"), std::string::npos) << err;
  EXPECT_EQ(err.find("Abandoning"), std::string::npos) << err;
  EXPECT_EQ(err.find("disconnected"), std::string::npos) << err;
}

// The serial console is the write end of a pipe nobody reads: it reports an error on every
// poll and fails every write. It is never disconnected, yet it neither holds the network
// terminals back nor makes the session spin.
TEST(SerialConsoleInError, NeitherHoldsTheSessionBackNorSpins) {
  Sandbox sandbox;
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  close(pipe_ends[0]);
  const std::string data = PatternBytes(300000, 7);
  sandbox.WriteFile("data", data);
  SessionOptions options{
      {"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; read done", sandbox.PathOf("data")}};
  options.serial_console = pipe_ends[1];
  auto session = StartSession(sandbox, options);
  close(pipe_ends[1]);

  TerminalClient network(sandbox.SocketPath());
  ASSERT_TRUE(network.WaitFor("ready\n")) << session->Stderr();
  network.Write("go\n");
  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(network.WaitForBytes(expected.size(), std::chrono::seconds(30))) << session->Stderr();
  EXPECT_TRUE(network.Received() == expected);

  EXPECT_LT(CpuUsedOverInterval(session->Pid()), kIdleCpuBound) << "the session spins";
  const std::string err = session->Stderr();
  // Looked at again about once a second, not on every pass.
  EXPECT_GE(Count(err, "ttyweave: Serial terminal error\n"), 1u) << err;
  EXPECT_LE(Count(err, "ttyweave: Serial terminal error\n"), 10u) << err;

  network.Write("done\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 0);
}

// An idle session with terminals connected sleeps in poll without a time-out: it does not even
// wake up.
TEST(IdleSession, SleepsInPollWithoutWakingUp) {
  Sandbox sandbox;
  int console[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, console), 0);
  SessionOptions options{{"/bin/sh", "-c", "echo ready; read x"}};
  options.serial_console = console[1];
  auto session = StartSession(sandbox, options);
  close(console[1]);
  TerminalClient network(sandbox.SocketPath());
  ASSERT_TRUE(network.WaitFor("ready\n"));
  // The console's copy of "ready" and the accept are behind it once the network terminal has it.
  const unsigned long switches = ContextSwitches(session->Pid());
  EXPECT_LT(CpuUsedOverInterval(session->Pid()), kIdleCpuBound);
  EXPECT_LE(ContextSwitches(session->Pid()) - switches, 2u);
  close(console[0]);
}
