// SPDX-License-Identifier: MIT
#include "close_on_exec.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <unistd.h>

namespace {

constexpr unsigned kFirstNonStandardDescriptor = 3;

}  // namespace

void CloseOnExecAboveStandardDescriptors() {
  if (close_range(kFirstNonStandardDescriptor, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11 lack the flag: mark each descriptor that may be open.
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = kFirstNonStandardDescriptor; fd < limit; ++fd)
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}
