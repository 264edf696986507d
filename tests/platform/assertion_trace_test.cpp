// The trace event of assertion reports seen from outside: a real session daemon records one
// event per failed check, and without a tracing session (or without any session daemon) the
// reports go on exactly as before.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "kernel_log.h"
#include "mount_namespace.h"
#include "sandbox.h"
#include "tracing_world.h"

namespace {

constexpr char kProgram[] = ASSERTION_TRACE_PROGRAM;
constexpr char kEvent[] = "tessaline_platform:td_event";

bool Aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

// What the test program says before its check fails: the check's line and its process id.
struct ProgramRun {
  int line = -1;
  int pid = -1;
};

ProgramRun ParseProgramOutput(const std::string& out) {
  ProgramRun run;
  std::istringstream(out) >> run.line >> run.pid;
  return run;
}

// The payload of each td_event record in babeltrace2's text output, in time order: the last
// brace pair of the line, such as `desc = "ASRT", value = 117`.
std::vector<std::string> TdEventPayloads(const std::string& text) {
  std::vector<std::string> payloads;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(std::string(kEvent) + ":") == std::string::npos) continue;
    const size_t open = line.rfind("{ ");
    const bool closed = open != std::string::npos && line.size() >= open + 4 &&
                        line.compare(line.size() - 2, 2, " }") == 0;
    payloads.push_back(closed ? line.substr(open + 2, line.size() - open - 4) : line);
  }
  return payloads;
}

std::string Payload(int line) { return "desc = \"ASRT\", value = " + std::to_string(line); }

// The kernel log record of the test program's failed PLINTH_CHECK.
void ExpectCheckRecord(KernelLogReader& log, const ProgramRun& run) {
  const std::string record =
      log.WaitFor("User space assert from process " + std::to_string(run.pid) + ": never");
  EXPECT_NE(record.find("ASSERT Executing tests/platform/assertion_trace_program:" +
                        std::to_string(run.line) + ":int main(int, char**)"),
            std::string::npos)
      << "record: " << record;
}

class AssertionTraceEvent : public testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    m_world = TracingWorld::Start(why_not);
    if (!m_world) GTEST_SKIP() << "No LTTng session daemon can run here: " << why_not;
  }

  testing::AssertionResult Lttng(const std::vector<std::string>& args) {
    const ChildResult result = m_world->Lttng(args);
    if (result.status == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "lttng " << args.at(0) << ": status " << result.status << "\n"
           << result.out << result.err;
  }

  // Runs the test program in the world. Its start-up waits until it has registered with the
  // session daemon, so that an enabled event is enabled in it before its check fails.
  ChildResult RunProgram(const char* road) {
    return m_world->Run({kProgram, road}, {"LTTNG_UST_REGISTER_TIMEOUT=-1"});
  }

  std::unique_ptr<TracingWorld> m_world;
};

}  // namespace

// With a session that enables the event, each failed check records exactly one event, "ASRT"
// with the check's line, whichever road the report took.
TEST_F(AssertionTraceEvent, EachFailedCheckRecordsOneEventWithItsLine) {
  const std::string traces = m_world->Dir() + "/traces";
  ASSERT_TRUE(Lttng({"create", "assertions", "--output=" + traces}));
  ASSERT_TRUE(Lttng({"enable-event", "--userspace", kEvent}));
  ASSERT_TRUE(Lttng({"start"}));
  std::vector<int> lines;
  for (const char* road : {"check", "assert", "message"}) {
    const ChildResult run = RunProgram(road);
    EXPECT_TRUE(Aborted(run.status)) << road << ": status " << run.status << "\n" << run.err;
    lines.push_back(ParseProgramOutput(run.out).line);
  }
  ASSERT_TRUE(Lttng({"stop"}));
  ASSERT_TRUE(Lttng({"destroy"}));

  const ChildResult trace = m_world->Run({"babeltrace2", traces});
  ASSERT_EQ(trace.status, 0) << trace.err;
  const std::vector<std::string> payloads = TdEventPayloads(trace.out);
  ASSERT_EQ(payloads.size(), lines.size()) << trace.out;
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(payloads[i], Payload(lines[i]));
}

// A session daemon runs but no tracing session enables the event: the program registers,
// reports its failed check to the kernel log, says nothing else and aborts, as before.
TEST_F(AssertionTraceEvent, WithoutATracingSessionAFailedCheckReportsAsBefore) {
  KernelLogReader log;
  const ChildResult result = RunProgram("check");
  EXPECT_TRUE(Aborted(result.status)) << result.status;
  EXPECT_EQ(result.err, "");
  const ProgramRun run = ParseProgramOutput(result.out);
  EXPECT_EQ(result.out, std::to_string(run.line) + " " + std::to_string(run.pid) + "\n");
  ExpectCheckRecord(log, run);
}

// With a started session the trace point library holds sockets and shared memory of the
// session daemon; none of it may reach a program that the daemon starts.
TEST_F(AssertionTraceEvent, TheTracePointLibrarysDescriptorsAreNotInherited) {
  ASSERT_TRUE(Lttng({"create", "descriptors", "--output=" + m_world->Dir() + "/traces"}));
  ASSERT_TRUE(Lttng({"enable-event", "--userspace", kEvent}));
  ASSERT_TRUE(Lttng({"start"}));
  const ChildResult result = RunProgram("descriptors");
  ASSERT_EQ(result.status, 0) << result.err;
  // Lines before the count name descriptors that would be inherited.
  ASSERT_EQ(result.out.rfind("open ", 0), 0u) << result.out;
  EXPECT_GT(std::stoi(result.out.substr(5)), 0) << "nothing open: the program did not register";
}

// No session daemon at all, and nothing left behind by one (/run, /dev/shm and HOME are empty
// folders): nothing extra is printed and the report reaches the kernel log.
TEST(AssertionTraceEventWithoutSessionDaemon, AFailedCheckReportsAsBefore) {
  char pattern[] = "/tmp/ttyweave-no-lttng-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  for (const char* folder : {"run", "shm", "home"})
    std::filesystem::create_directory(dir + "/" + folder);
  KernelLogReader log;
  const ChildResult result = RunInChild([&dir] {
    if (!EnterPrivateMountNamespace() || !BindMount(dir + "/run", "/run") ||
        !BindMount(dir + "/shm", "/dev/shm"))
      _exit(3);
    setenv("HOME", (dir + "/home").c_str(), 1);
    unsetenv("LTTNG_HOME");
    execl(kProgram, kProgram, "check", static_cast<char*>(nullptr));
    _exit(4);
  });
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  ASSERT_TRUE(Aborted(result.status)) << "status " << result.status << " (3: no namespace)";
  EXPECT_EQ(result.err, "");
  const ProgramRun run = ParseProgramOutput(result.out);
  EXPECT_EQ(result.out, std::to_string(run.line) + " " + std::to_string(run.pid) + "\n");
  ExpectCheckRecord(log, run);
}

// The trace point library starts its listener threads before main. They must block every
// signal the process can block, so that signals meant for the daemon's main thread (read there
// through a signal descriptor) never land on them.
TEST(LttngUstListenerThreads, BlockEverySignal) {
  const std::string tasks = "/proc/self/task";
  int threads = 0;
  for (const auto& entry : std::filesystem::directory_iterator(tasks)) {
    const std::string tid = entry.path().filename();
    if (tid == std::to_string(getpid())) continue;
    ++threads;
    const std::string status = ReadWholeFile(entry.path().string() + "/status");
    const size_t field = status.find("SigBlk:");
    ASSERT_NE(field, std::string::npos) << status;
    const uint64_t blocked = std::strtoull(status.c_str() + field + 7, nullptr, 16);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
      // SIGKILL and SIGSTOP cannot be blocked; the C library keeps the two signals below
      // SIGRTMIN for itself.
      if (signal == SIGKILL || signal == SIGSTOP || (signal > 31 && signal < SIGRTMIN)) continue;
      EXPECT_TRUE(blocked & (uint64_t{1} << (signal - 1)))
          << "thread " << tid << " lets signal " << signal << " through";
    }
  }
  EXPECT_GE(threads, 1) << "no listener thread: liblttng-ust was not loaded at start-up";
}
