#include "child_process.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "sandbox.h"

namespace {

// Long enough for a process to finish an orderly shutdown on SIGTERM.
constexpr auto kStopTimeout = std::chrono::seconds(5);

}  // namespace

std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) throw std::runtime_error("pidfd_open failed");
  struct pollfd ended = {pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&ended, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  close(pidfd);
  if (ready <= 0) return std::nullopt;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid failed");
  return status;
}

std::vector<pid_t> Descendants(pid_t pid) {
  std::vector<pid_t> found;
  std::vector<pid_t> parents = {pid};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" +
                           std::to_string(parent) + "/children");
    for (pid_t child; children >> child;) {
      found.push_back(child);
      parents.push_back(child);
    }
  }
  return found;
}

int StopProcess(pid_t pid) {
  kill(pid, SIGTERM);
  if (std::optional<int> status = WaitExit(pid, kStopTimeout)) return *status;
  kill(pid, SIGKILL);
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
