// The loop's byte paths do not touch the heap: several megabytes through a session with two
// terminals (and the child's end, the signal and every terminal's acceptance on the way) cost
// not one allocation inside RunSession. Its own executable: it replaces operator new.
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "safe_fprintf.h"
#include "session_harness.h"
#include "shared_session.h"

TEST(SessionAllocations, NoneWhileMegabytesPassThroughTheLoop) {
  Sandbox sandbox;
  const std::string data = PatternBytes(8 << 20, 9);
  sandbox.WriteFile("data", data);
  SessionOptions options{{"/bin/sh", "-c", "echo ready; read go; cat \"$0\"; read done; exit 6",
                          sandbox.PathOf("data")}};
  options.run_loop = [](SharedSession& session) {
    const size_t before = AllocationCount();
    session.RunSession();
    const size_t during = AllocationCount() - before;
    SafeFprintf(stderr, "allocations in the loop: %u\n", static_cast<unsigned>(during));
  };
  auto session = StartSession(sandbox, options);
  TerminalClient first(sandbox.SocketPath());
  TerminalClient second(sandbox.SocketPath());
  ASSERT_TRUE(first.WaitFor("ready\n"));
  ASSERT_TRUE(second.WaitFor("ready\n"));
  first.Write("go\n");
  const std::string expected = "ready\n" + data;
  ASSERT_TRUE(WaitForBytesOnAll({&first, &second}, expected.size(), std::chrono::seconds(60)));
  EXPECT_TRUE(first.Received() == expected);
  EXPECT_TRUE(second.Received() == expected);
  second.Write("done\n");
  EXPECT_EQ(ExitCodeOf(session->WaitExit()), 6);
  EXPECT_NE(session->Stderr().find("allocations in the loop: 0\n"), std::string::npos)
      << session->Stderr();
}

// The counter itself works: otherwise the test above proves nothing.
TEST(SessionAllocations, TheCounterSeesAnAllocation) {
  const size_t before = AllocationCount();
  auto* text = new std::string(100, 'x');
  EXPECT_GT(AllocationCount(), before);
  delete text;
}
