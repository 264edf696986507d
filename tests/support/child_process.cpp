#include "child_process.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sandbox.h"

namespace {

// Long enough for a process to finish an orderly shutdown on SIGTERM.
constexpr int kStopTimeoutMs = 5000;

}  // namespace

int StopProcess(pid_t pid) {
  kill(pid, SIGTERM);
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    struct pollfd ended = {pidfd, POLLIN, 0};
    if (poll(&ended, 1, kStopTimeoutMs) <= 0) kill(pid, SIGKILL);
    close(pidfd);
  } else {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

ChildResult RunInChild(const std::function<void()>& body) {
  char out_path[] = "/tmp/ttyweave-child-out-XXXXXX";
  char err_path[] = "/tmp/ttyweave-child-err-XXXXXX";
  const int out = mkstemp(out_path);
  const int err = mkstemp(err_path);
  if (out < 0 || err < 0) throw std::runtime_error("mkstemp failed");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  ChildResult result;
  waitpid(pid, &result.status, 0);
  close(out);
  close(err);
  result.out = ReadWholeFile(out_path);
  result.err = ReadWholeFile(err_path);
  unlink(out_path);
  unlink(err_path);
  return result;
}
