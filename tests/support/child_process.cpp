#include "child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sandbox.h"

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
