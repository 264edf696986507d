// The kernel log relay in a running session. Records are fed through a SOCK_SEQPACKET socket,
// which like /dev/kmsg gives one record per read, and once through the real /dev/kmsg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "kernel_log.h"
#include "pseudo_terminal.h"
#include "session_harness.h"
#include "terminal_mode.h"

namespace {

// A record source for the relay: the session reads one end, the test writes the other.
class RecordFeed {
 public:
  RecordFeed() {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, m_ends) != 0)
      throw std::runtime_error("socketpair failed");
    fcntl(m_ends[0], F_SETFL, O_NONBLOCK);
  }
  ~RecordFeed() {
    close(m_ends[0]);
    close(m_ends[1]);
  }
  int SessionEnd() const { return m_ends[0]; }
  // Once the session has its copy, the test's copy of that end is closed.
  void ReleaseSessionEnd() {
    close(m_ends[0]);
    m_ends[0] = -1;
  }
  void Send(const std::string& record) {
    if (send(m_ends[1], record.data(), record.size(), 0) != static_cast<ssize_t>(record.size()))
      throw std::runtime_error("send failed");
  }
  // What the records sent but not yet read by the session occupy (kernel accounting, which is
  // more than their bytes).
  size_t Unread() const { return Queued(m_ends[1]); }
  // What Unread() is while `record` alone waits.
  static size_t QueuedSizeOf(const std::string& record) {
    RecordFeed scratch;
    scratch.Send(record);
    return scratch.Unread();
  }

 private:
  static size_t Queued(int fd) {
    int queued = 0;
    ioctl(fd, TIOCOUTQ, &queued);
    return static_cast<size_t>(queued);
  }

  int m_ends[2];
};

SessionOptions RelayingAt(uint32_t level, int fd, std::vector<std::string> program) {
  SessionOptions options{std::move(program)};
  options.kernel_log = fd;
  options.log_level = level;
  return options;
}

}  // namespace

TEST(KmsgRelay, RecordsAreParsedFilteredAndFormatted) {
  Sandbox sandbox;
  RecordFeed feed;
  auto session = StartSession(
      sandbox, RelayingAt(7, feed.SessionEnd(), {"/bin/sh", "-c", "echo ready; read x"}));
  feed.ReleaseSessionEnd();
  TerminalClient terminal(sandbox.SocketPath());
  ASSERT_TRUE(terminal.WaitFor("ready\n"));

  const std::pair<const char*, const char*> cases[] = {
      {"6,1234,5000000,-;hello\n", "{    5.000} hello\r\n"},
      {"14,1,999,-;facility one\n", "{    0.000} facility one\r\n"},
      {"-1,2,1000000,-;minus one is severity 7\n", ""},
      {"6,3,1999999,-;truncated\n", "{    1.999} truncated\r\n"},
      {"6,4,123456789012,-;long uptime\n", "{123456.789} long uptime\r\n"},
      {"6,5,3000000,-;first line\n SUBSYSTEM=usb\n DEVICE=c189:1\n", "{    3.000} first line\r\n"},
      {"6,6,4000000,-;\n", "{    4.000} \r\n"},
      {"6,,7,,6000000,-;doubled commas\n", "{    6.000} doubled commas\r\n"},
      {",6,8,7000000,-,;edge commas\n", "{    7.000} edge commas\r\n"},
      {"6,9,8000000;three fields\n", "ERROR parsing kmsg: kmsg format error"},
      {"6,10,12x,-;bad timestamp\n",
       "ERROR parsing kmsg: bad lexical cast: source type value could not be interpreted as "
       "target"},
      {"6,11,9000000,-\n", "ERROR parsing kmsg: Failed to find semicolon in kmsg"},
      {"6,12,10000000,-;no end of line", "ERROR parsing kmsg: Failed to find EOL in kmsg"},
      {";no prefix\n", "ERROR parsing kmsg: kmsg format error"},
      {"7,zz,1,-;below the level\n", ""},
      {"6,13,11000000,-;100% %s %n done\n", "{   11.000} 100% %s %n done\r\n"},
      {"6,14,12000000,-,caller=T1;a;b,c\\x0a\n", "{   12.000} a;b,c\\x0a\r\n"},
      {"6, 15,13000000,-;blank in a field\n",
       "ERROR parsing kmsg: bad lexical cast: source type value could not be interpreted as "
       "target"},
      {"+6,16,14000000,-;plus sign\n", "{   14.000} plus sign\r\n"},
      {"6,17,15000000,-;end\n", "{   15.000} end\r\n"},
  };
  std::string expected = "ready\n";
  for (const auto& [record, line] : cases) {
    feed.Send(record);
    expected += line;
  }
  ASSERT_TRUE(terminal.WaitFor("end\r\n")) << terminal.Received();
  EXPECT_EQ(terminal.Received(), expected);
}

TEST(KmsgRelay, LevelZeroReadsEveryRecordAndRelaysNone) {
  Sandbox sandbox;
  RecordFeed feed;
  auto session = StartSession(
      sandbox,
      RelayingAt(0, feed.SessionEnd(), {"/bin/sh", "-c", "echo ready; read x; echo after"}));
  feed.ReleaseSessionEnd();
  TerminalClient terminal(sandbox.SocketPath());
  ASSERT_TRUE(terminal.WaitFor("ready\n"));
  feed.Send("0,1,1000000,-;emergency\n");
  feed.Send("6,2,2000000,-;info\n");
  ASSERT_TRUE(WaitUntil([&] { return feed.Unread() == 0; }));
  terminal.Write("x\n");
  ASSERT_TRUE(terminal.WaitFor("after\n")) << terminal.Received() << session->Stderr();
  EXPECT_EQ(terminal.Received(), "ready\nafter\n");
}

// The serial console takes nothing while the child floods the output ring: a kernel log line
// cannot go in and waits; the record after it stays unread. Once the console drains, both
// lines arrive whole, in order, and not one byte of the child's output is lost.
TEST(KmsgRelay, AWaitingLineGoesInWholeBeforeAnyNewerRecord) {
  Sandbox sandbox;
  RecordFeed feed;
  PseudoTerminal console;
  ASSERT_EQ(SetRawMode(console.Slave()), 0);
  std::string data(400000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  sandbox.WriteFile("data", data);
  SessionOptions options =
      RelayingAt(7, feed.SessionEnd(),
                 {"/bin/sh", "-c", "read go; cat \"$0\"; read done", sandbox.PathOf("data")});
  options.serial_console = console.Slave();
  options.listener = false;
  auto session = StartSession(sandbox, options);
  feed.ReleaseSessionEnd();
  console.CloseSlave();

  console.Write("go\n");
  // The console's side of the pseudo-terminal stops growing: the session holds the child back.
  // Stable over half a second, so that a session merely slowed by a busy machine is not taken
  // for a held-back one.
  constexpr int kStableSamples = 5;
  int last = -1;
  int stable = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        int pending = 0;
        ioctl(console.Master(), FIONREAD, &pending);
        stable = (pending > 0 && pending == last) ? stable + 1 : 0;
        last = pending;
        if (stable < kStableSamples) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return stable >= kStableSamples;
      },
      std::chrono::seconds(20)));

  const std::string first = "6,1,1000000,-;first waiting line\n";
  const std::string second = "6,2,2000000,-;second line\n";
  feed.Send(first);
  feed.Send(second);
  const size_t second_alone = RecordFeed::QueuedSizeOf(second);
  ASSERT_TRUE(WaitUntil([&] { return feed.Unread() == second_alone; })) << feed.Unread();

  const std::string first_line = "{    1.000} first waiting line\r\n";
  const std::string second_line = "{    2.000} second line\r\n";
  std::string received = console.ReadUntil(second_line, 20000);
  while (received.size() < data.size() + first_line.size() + second_line.size()) {
    const std::string more = console.ReadUntil("\x01", 200);  // whatever is left
    if (more.empty()) break;
    received += more;
  }
  const size_t first_at = received.find(first_line);
  const size_t second_at = received.find(second_line);
  ASSERT_NE(first_at, std::string::npos);
  ASSERT_NE(second_at, std::string::npos);
  EXPECT_LT(first_at, second_at);
  std::string without_lines = received;
  without_lines.erase(second_at, second_line.size());
  without_lines.erase(first_at, first_line.size());
  EXPECT_TRUE(without_lines == data) << without_lines.size() << " of " << data.size();
  EXPECT_EQ(feed.Unread(), 0u);
}

TEST(KmsgRelay, RelaysRecordsOfTheRealKernelLogAboveTheLevel) {
  Sandbox sandbox;
  const int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(kmsg, 0);
  ASSERT_GE(lseek(kmsg, 0, SEEK_END), 0);
  auto session =
      StartSession(sandbox, RelayingAt(7, kmsg, {"/bin/sh", "-c", "echo ready; read x"}));
  close(kmsg);
  TerminalClient terminal(sandbox.SocketPath());
  ASSERT_TRUE(terminal.WaitFor("ready\n"));

  const std::string debug = UniqueMarker("relay-debug");
  const std::string info = UniqueMarker("relay-info");
  WriteKernelLog(7, debug);
  WriteKernelLog(6, info);
  ASSERT_TRUE(terminal.WaitFor(info + "\r\n")) << terminal.Received();
  EXPECT_EQ(terminal.Received().find(debug), std::string::npos);
  // Seconds right-aligned in at least five places, then exactly three digits of milliseconds.
  const std::regex line("\\{[ 0-9]{4,}[0-9]\\.[0-9]{3}\\} " + info + "\r\n");
  std::smatch found;
  EXPECT_TRUE(std::regex_search(terminal.Received(), found, line)) << terminal.Received();
}
