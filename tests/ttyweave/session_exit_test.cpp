// How a session ends and with which exit status: the child's own, 122 for a child killed by a
// signal, 121 for SIGTERM (the child then gets SIGTERM and a second later SIGKILL), 2 for a
// program that cannot run, 120 when the serial console goes away. Signals that do not end the
// session are only reported.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"
#include "kernel_log.h"
#include "session_harness.h"
#include "shared_session.h"

namespace {

// The pid the child program printed as "pid=<n>" on standard error.
pid_t ProgramPid(const DaemonProcess& session) {
  const std::string err = session.Stderr();
  const size_t at = err.find("pid=");
  return at == std::string::npos ? -1 : std::stoi(err.substr(at + 4));
}

// Orphans of the session (its child, once the session has ended) become this process's
// children, so that the test can see how they ended.
void AdoptOrphans() { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

}  // namespace

TEST(SessionExit, AChildThatExitsGivesItsStatusAndIsNotSignalled) {
  Sandbox sandbox;
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "exit 3"}});
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 3);
  EXPECT_EQ(
      session->Stderr(),
      "ttyweave: Starting listener\nttyweave: Received signal 17\nttyweave: Child exited: 3\n");
}

TEST(SessionExit, AChildKilledByASignalGives122) {
  Sandbox sandbox;
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "kill -9 $$"}});
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 122);
  EXPECT_NE(session->Stderr().find("ttyweave: Child exited on signal 9\n"), std::string::npos)
      << session->Stderr();
}

TEST(SessionExit, AProgramThatCannotRunGives2) {
  Sandbox sandbox;
  auto session = StartSession(sandbox, {{"/nonexistent/program", "arg"}});
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 2);
  const std::string err = session->Stderr();
  EXPECT_NE(err.find("exec failed: No such file or directory\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ttyweave: Child exited: 2\n"), std::string::npos) << err;
}

TEST(SessionExit, SigtermGives121AndTheChildGetsSigtermThenSigkillASecondLater) {
  AdoptOrphans();
  Sandbox sandbox;
  // The child survives SIGTERM (it only reports it), so only SIGKILL can end it.
  auto session = StartSession(
      sandbox, {{"/bin/sh", "-c",
                 "trap 'echo got-term >&2' TERM; echo pid=$$ >&2; while :; do sleep 0.05; done"}});
  ASSERT_TRUE(session->WaitForStderr("pid="));
  const pid_t program = ProgramPid(*session);
  ASSERT_GT(program, 0);

  const auto signalled = std::chrono::steady_clock::now();
  session->Signal(SIGTERM);
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 121);
  int status = 0;
  ASSERT_EQ(waitpid(program, &status, 0), program);
  const auto grace = std::chrono::steady_clock::now() - signalled;
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_GE(grace, std::chrono::milliseconds(950));
  const std::string err = session->Stderr();
  EXPECT_NE(err.find("ttyweave: Received signal 15\n"), std::string::npos) << err;
  EXPECT_NE(err.find("got-term"), std::string::npos) << err;
}

TEST(SessionSignals, InterruptHangUpAndUser1AreOnlyReported) {
  Sandbox sandbox;
  auto session = StartSession(sandbox, {{"/bin/sh", "-c", "echo ready; read x; exit 5"}});
  TerminalClient terminal(sandbox.SocketPath());
  ASSERT_TRUE(terminal.WaitFor("ready\n"));
  session->Signal(SIGINT);
  ASSERT_TRUE(session->WaitForStderr("ttyweave: Received signal 2\n"));
  session->Signal(SIGHUP);
  ASSERT_TRUE(session->WaitForStderr("ttyweave: Received signal 1\n"));
  session->Signal(SIGUSR1);
  ASSERT_TRUE(session->WaitForStderr("ttyweave: Unexpected signal 10\n"));
  terminal.Write("x\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 5);
  EXPECT_EQ(session->Stderr(),
            "ttyweave: Starting listener\n"
            "ttyweave: Received signal 2\n"
            "ttyweave: Received signal 1\n"
            "ttyweave: Received signal 10\n"
            "ttyweave: Unexpected signal 10\n"
            "ttyweave: Received signal 17\n"
            "ttyweave: Child exited: 5\n");
}

TEST(SessionSignals, AStoppedChildIsNothingToWaitFor) {
  Sandbox sandbox;
  auto session =
      StartSession(sandbox, {{"/bin/sh", "-c", "echo pid=$$ >&2; echo ready; read x; exit 4"}});
  TerminalClient terminal(sandbox.SocketPath());
  ASSERT_TRUE(terminal.WaitFor("ready\n"));
  ASSERT_TRUE(session->WaitForStderr("pid="));
  const pid_t program = ProgramPid(*session);
  ASSERT_EQ(kill(program, SIGSTOP), 0);
  ASSERT_TRUE(
      session->WaitForStderr("ttyweave: received SIGCHLD but there was nothing to wait for\n"));
  ASSERT_EQ(kill(program, SIGCONT), 0);
  terminal.Write("x\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 4);
}

// End of file on the serial console: the session cannot go on. It ends in order: a message,
// the child stopped as on destruction, and the status of a session that lost its child's.
TEST(SessionLost, EndOfFileOnTheSerialConsoleEndsTheSessionWith120) {
  AdoptOrphans();
  Sandbox sandbox;
  int console[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, console), 0);
  SessionOptions options{{"/bin/sh", "-c", "echo pid=$$ >&2; exec sleep 1000"}};
  options.serial_console = console[1];
  auto session = StartSession(sandbox, options);
  close(console[1]);
  ASSERT_TRUE(session->WaitForStderr("pid="));
  const pid_t program = ProgramPid(*session);

  close(console[0]);
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), kSessionLostExitStatus);
  EXPECT_NE(session->Stderr().find("ttyweave: EOF on serial terminal\n"), std::string::npos)
      << session->Stderr();
  int status = 0;
  ASSERT_EQ(waitpid(program, &status, 0), program);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

namespace {

std::string ReportOf(void (*misuse)()) {
  const ChildResult child = RunInChild([misuse] {
    if (!HideKernelLogForWriting()) _exit(3);
    misuse();
  });
  EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGABRT) << child.status;
  return child.err;
}

}  // namespace

TEST(SessionInvariants, MisuseIsReportedWithTheFunctionAndCondition) {
  const std::string no_terminal = ReportOf([] {
    SharedSession session;
    session.RemoveTerminal(0);
  });
  EXPECT_EQ(no_terminal.rfind("\r\nASSERT FAILED: m_terminals > 0\r\napps/ttyweave/", 0), 0u)
      << no_terminal;
  EXPECT_NE(no_terminal.find(":void SharedSession::RemoveTerminal(size_t)\r\n"), std::string::npos)
      << no_terminal;

  const std::string out_of_range = ReportOf([] {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    SharedSession session;
    session.AddTerminal(pair[0]);
    session.RemoveTerminal(1);
  });
  EXPECT_EQ(out_of_range.rfind("\r\nASSERT FAILED: index < m_terminals\r\n", 0), 0u)
      << out_of_range;

  const std::string not_ended = ReportOf([] {
    SharedSession session;
    session.GetExitStatus();
  });
  EXPECT_EQ(not_ended.rfind("\r\nASSERT FAILED: m_exit\r\napps/ttyweave/", 0), 0u) << not_ended;
  EXPECT_NE(not_ended.find(":int SharedSession::GetExitStatus() const\r\n"), std::string::npos)
      << not_ended;
}
