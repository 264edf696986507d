// The lazily created process-wide instance: one object however it is asked for, a creation that
// throws leaves no instance behind, and every misuse is reported where it happens.
#include "singleton.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kernel_log.h"

// Test types live outside any unnamed namespace so that reports name them plainly.
class CountedProbe : public plinth::AutoCreateSingleton<CountedProbe> {
 public:
  static std::atomic<int> constructions;

 private:
  friend class plinth::AutoCreateSingleton<CountedProbe>;
  CountedProbe() { ++constructions; }
};
std::atomic<int> CountedProbe::constructions{0};

// Its constructor fails the first time, as a client fails without its bus.
class FailingOnceProbe : public plinth::AutoCreateSingleton<FailingOnceProbe> {
 public:
  static int attempts;
  static FailingOnceProbe* Current() { return sm_instance.load(); }

 private:
  friend class plinth::AutoCreateSingleton<FailingOnceProbe>;
  FailingOnceProbe() : m_member(++attempts == 1 ? Fail() : 0) {}
  static int Fail() { throw std::runtime_error("no bus"); }
  int m_member;
};
int FailingOnceProbe::attempts = 0;

class MisusedProbe : public plinth::AutoCreateSingleton<MisusedProbe> {
 public:
  MisusedProbe() = default;
  ~MisusedProbe() = default;
  static void Corrupt(MisusedProbe* value) { sm_instance.store(value); }
};

namespace {

bool Aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

// Runs `misuse` in a child whose reports go to stderr; returns what it printed.
std::string ReportOf(const std::function<void()>& misuse) {
  const ChildResult child = RunInChild([&] {
    if (!HideKernelLogForWriting()) _exit(3);
    misuse();
  });
  EXPECT_TRUE(Aborted(child.status)) << "wait status " << child.status;
  return child.err;
}

}  // namespace

TEST(AutoCreateSingleton, EveryCallerGetsTheOneInstance) {
  std::vector<CountedProbe*> seen(8, nullptr);
  std::vector<std::thread> callers;
  for (auto& slot : seen) callers.emplace_back([&slot] { slot = CountedProbe::GetInstance(); });
  for (auto& caller : callers) caller.join();
  for (CountedProbe* instance : seen) EXPECT_EQ(instance, seen.front());
  EXPECT_EQ(CountedProbe::GetInstance(), seen.front());
  EXPECT_EQ(CountedProbe::constructions.load(), 1);
}

TEST(AutoCreateSingleton, AFailedCreationLeavesNoInstanceAndIsTriedAgain) {
  EXPECT_THROW(FailingOnceProbe::GetInstance(), std::runtime_error);
  EXPECT_EQ(FailingOnceProbe::Current(), nullptr);
  FailingOnceProbe* instance = FailingOnceProbe::GetInstance();
  EXPECT_NE(instance, nullptr);
  EXPECT_EQ(FailingOnceProbe::Current(), instance);
  EXPECT_EQ(FailingOnceProbe::attempts, 2);
}

TEST(AutoCreateSingleton, ASecondInstanceIsReportedAtLine116) {
  const std::string report = ReportOf([] {
    MisusedProbe::GetInstance();
    MisusedProbe second;
  });
  EXPECT_EQ(report,
            "\r\nASSERT FAILED: sm_instance == __null\r\nlib/platform/singleton:116:"
            "plinth::AutoCreateSingleton<T>::AutoCreateSingleton() [with T = MisusedProbe]"
            "\r\n\r\n");
}

TEST(AutoCreateSingleton, DestroyingTheInstanceIsReportedAtLine124) {
  const std::string report = ReportOf([] { delete MisusedProbe::GetInstance(); });
  EXPECT_EQ(report,
            "\r\nASSERT FAILED: false\r\nlib/platform/singleton:124:"
            "plinth::AutoCreateSingleton<T>::~AutoCreateSingleton() [with T = MisusedProbe]"
            "\r\n\r\n");
}

TEST(AutoCreateSingleton, AnInstancePointerInTheFirstPageIsReportedAtLine145) {
  const std::string report = ReportOf([] {
    MisusedProbe::Corrupt(reinterpret_cast<MisusedProbe*>(0x10));
    MisusedProbe::GetInstance();
  });
  EXPECT_EQ(report,
            "\r\nASSERT FAILED: Invalid pointer\r\nPointer=0x10\r\nlib/platform/singleton:145:"
            "static T* plinth::AutoCreateSingleton<T>::GetInstance() [with T = MisusedProbe]"
            "\r\n\r\n");
}
