#include "write_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "errno_exception.h"
#include "sandbox.h"

namespace {

class WriteFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ttyweave-write-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  std::string m_dir;
};

}  // namespace

TEST_F(WriteFileTest, ReplacesTheWholeContent) {
  const std::string path = m_dir + "/level";
  std::ofstream(path) << "7\t4\t1\t7\n";
  EXPECT_EQ(WriteFile(path, "0", 0777), 0);
  EXPECT_EQ(ReadWholeFile(path), "0");
}

TEST_F(WriteFileTest, CreatesWithTheModeAndEmptyContentsWriteNothing) {
  const std::string path = m_dir + "/new";
  const mode_t old_mask = umask(0);
  EXPECT_EQ(WriteFile(path, "", 0640), 0);
  umask(old_mask);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(info.st_size, 0);
  std::ofstream(path) << "old contents";
  EXPECT_EQ(WriteFile(path, "", 0640), 0);
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST_F(WriteFileTest, LargeContentsArriveWhole) {
  const std::string path = m_dir + "/large";
  const std::string contents(1 << 20, 'z');
  WriteFile(path, contents, 0600);
  EXPECT_EQ(ReadWholeFile(path), contents);
}

TEST_F(WriteFileTest, AFileThatCannotBeOpenedIsNamedInTheException) {
  const std::string path = m_dir + "/missing/file";
  try {
    WriteFile(path, "0", 0600);
    FAIL() << "no exception";
  } catch (const ErrnoException& error) {
    EXPECT_EQ(std::string(error.what()), path + ": No such file or directory (2)");
  }
}

TEST(WriteFile, AFailedWriteThrowsWithoutAName) {
  try {
    WriteFile("/dev/full", "0", 0600);
    FAIL() << "no exception";
  } catch (const ErrnoException& error) {
    EXPECT_STREQ(error.what(), "No space left on device (28)");
  }
}

// Kernel files cannot be synced: that must not count as a failure.
TEST(WriteFile, KernelFilesThatCannotBeSyncedAreWritten) {
  const ChildResult child = RunInChild([] {
    WriteFile("/proc/self/comm", "wf-check", 0777);
    std::printf("%s", ReadWholeFile("/proc/self/comm").c_str());
  });
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_EQ(child.out, "wf-check\n");
}
