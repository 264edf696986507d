// SPDX-License-Identifier: MIT
#include "write_all.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "system_call_error.h"

namespace {

// Waits until `fd` takes bytes again or a signal arrives.
void WaitWritable(int fd, const TerminationSignals& signals) {
  pollfd fds[] = {{fd, POLLOUT, 0}, {signals.Fd(), POLLIN, 0}};
  if (poll(fds, 2, -1) < 0 && errno != EINTR) throw SystemCallError("poll", errno);
}

}  // namespace

bool WriteAll(int fd, std::string_view data, const TerminationSignals& signals, const char* call) {
  while (!data.empty()) {
    if (signals.Received() != 0) return false;
    const ssize_t written = write(fd, data.data(), data.size());
    if (written >= 0) {
      data.remove_prefix(static_cast<size_t>(written));
    } else if (errno == EAGAIN) {
      WaitWritable(fd, signals);
    } else if (errno != EINTR) {
      throw SystemCallError(call, errno);
    }
  }
  return true;
}
