// The socket network terminals arrive on: reachable only by its owner "tessaline" (and root)
// whatever umask the daemon was started with, replacing a file left by an earlier run, and not
// created at all when the owner does not exist. Each case runs in its own mount namespace with
// the sandbox's folder over /run and its passwd over /etc/passwd.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "child_process.h"
#include "mount_namespace.h"
#include "sandbox.h"
#include "shared_session.h"

namespace {

constexpr uid_t kOwnerUid = 4242;  // "tessaline" in the sandbox's passwd
constexpr uid_t kOtherUid = 4343;

// Runs `body` in a child process inside the sandbox's world; returns what it printed.
ChildResult InWorld(const Sandbox& sandbox, const std::function<void()>& body) {
  return RunInChild([&] {
    if (!EnterPrivateMountNamespace() || !BindMount(sandbox.PathOf("run"), "/run") ||
        !BindMount(sandbox.PathOf("passwd"), "/etc/passwd")) {
      std::printf("no private world\n");
      return;
    }
    try {
      body();
    } catch (const std::exception& error) {
      std::printf("threw: %s\n", error.what());
    }
  });
}

// Whether a process running as `uid` can connect to the socket: "connected" or the error text.
std::string ConnectAs(uid_t uid) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(100);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kListenerPath);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) _exit(0);
    _exit(errno);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "crashed";
  return WEXITSTATUS(status) == 0 ? "connected" : std::strerror(WEXITSTATUS(status));
}

// Starts the listener under `started_umask` and reports the socket file and who can connect.
void DescribeListener(mode_t started_umask) {
  umask(started_umask);
  SharedSession session;
  session.StartListener();
  const mode_t umask_after = umask(0);
  struct stat file;
  if (stat(kListenerPath, &file) != 0) throw std::runtime_error("no socket file");
  std::printf("socket=%d mode=%o uid=%u umask=%o owner:%s other:%s\n",
              S_ISSOCK(file.st_mode) ? 1 : 0, static_cast<unsigned>(file.st_mode & 07777),
              static_cast<unsigned>(file.st_uid), static_cast<unsigned>(umask_after),
              ConnectAs(kOwnerUid).c_str(), ConnectAs(kOtherUid).c_str());
}

// Makes every chmod of the calling process fail with EPERM.
bool ForbidChmod() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_chmod
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_chmod, 2, 0),
#else
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fchmodat, 2, 0),
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fchmodat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

TEST(Listener, SocketIsOwnerOnlyWhateverTheStartingUmask) {
  for (const mode_t started_umask : {00, 022, 077}) {
    Sandbox sandbox;
    const ChildResult child =
        InWorld(sandbox, [started_umask] { DescribeListener(started_umask); });
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "socket=1 mode=700 uid=%u umask=%o owner:connected other:Permission denied\n",
                  static_cast<unsigned>(kOwnerUid), static_cast<unsigned>(started_umask));
    EXPECT_EQ(child.out, expected) << "umask " << std::oct << started_umask << "\n" << child.err;
  }
}

// With chmod failing, the socket file is left exactly as bind made it: even then it grants
// nobody but its owner access, so there never was a moment of open access before the chmod.
TEST(Listener, TheSocketNeverExistsWithMoreAccessThanItsOwners) {
  Sandbox sandbox;
  const ChildResult child = InWorld(sandbox, [] {
    umask(0);
    if (!ForbidChmod()) throw std::runtime_error("no seccomp");
    SharedSession session;
    session.StartListener();
  });
  EXPECT_EQ(child.out, "threw: chmod: Operation not permitted (1)\n") << child.err;
  struct stat file;
  ASSERT_EQ(stat(sandbox.SocketPath().c_str(), &file), 0);
  EXPECT_TRUE(S_ISSOCK(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0700u);
}

TEST(Listener, ReplacesAFileLeftByAnEarlierRun) {
  Sandbox sandbox;
  sandbox.WriteFile("run/ttyweave-socket", "stale");
  const ChildResult child = InWorld(sandbox, [] { DescribeListener(022); });
  EXPECT_EQ(child.out.rfind("socket=1 mode=700", 0), 0u) << child.out << child.err;
}

TEST(Listener, WithoutItsOwnerNothingIsCreated) {
  Sandbox sandbox;
  sandbox.SetPasswd("root:x:0:0:root:/root:/bin/sh\n");
  const ChildResult child = InWorld(sandbox, [] {
    SharedSession session;
    session.StartListener();
  });
  EXPECT_EQ(child.out, "threw: User 'tessaline'not found\n");
  struct stat file;
  EXPECT_NE(stat(sandbox.SocketPath().c_str(), &file), 0);
}

TEST(Listener, BindFailureIsReportedAsBind) {
  Sandbox sandbox;
  const ChildResult child = InWorld(sandbox, [] {
    // A directory in the way cannot be unlinked and makes bind fail.
    mkdir(kListenerPath, 0700);
    SharedSession session;
    session.StartListener();
  });
  EXPECT_EQ(child.out.rfind("threw: bind: Address already in use", 0), 0u) << child.out;
}

TEST(LookupUserId, FindsTheUserOrSaysWhoIsMissing) {
  Sandbox sandbox;
  const ChildResult child = InWorld(sandbox, [] {
    std::printf("%u\n", static_cast<unsigned>(LookupUserId("tessaline")));
    LookupUserId("nobody-here");
  });
  EXPECT_EQ(child.out, "4242\nthrew: User 'nobody-here'not found\n");
}
