// Kernel log set-up of a shared session: the relay level, the kernel log device, and the
// kernel's own console logging.
#include <fcntl.h>
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <cerrno>
#include <cstring>

#include "errno_exception.h"
#include "registry_client_impl.h"
#include "safe_fprintf.h"
#include "shared_session.h"
#include "write_file.h"

namespace {

constexpr char kKernelLogDevice[] = "/dev/kmsg";
constexpr char kConsoleLogLevelFile[] = "/proc/sys/kernel/printk";
// The kernel's console log level: 0 prints nothing on the console.
constexpr char kConsoleLoggingOff[] = "0";

}  // namespace

void SharedSession::SetupKmsg() {
  int fd = -1;
  try {
    Registry* registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
    // Digits with one optional sign; "-1" wraps to the largest level and relays everything.
    const auto level =
        boost::lexical_cast<unsigned int>(registry->Read("networking", "telnet_log_level"));
    // Close-on-exec: the program must not inherit a descriptor that reads the kernel log past
    // any restriction on it and whose reads would take records away from the relay.
    fd = open(kKernelLogDevice, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      SafeFprintf(stderr, "Failed to open /dev/kmsg: %s\n", std::strerror(errno));
      SetKernelLog(-1, level);
      return;
    }
    SafeFprintf(stderr, "Logging directly to serial console will be disabled\n");
    SafeFprintf(stderr, "Logging via ttyweave to level %u\n", level);
    if (lseek(fd, 0, SEEK_END) < 0) throw ErrnoException(errno, "seek /dev/kmsg");
    SetKernelLog(fd, level);
  } catch (...) {
    // No usable level: nothing is relayed. An opened device stays polled, its records dropped.
    SetKernelLog(fd, 0);
  }
}

void SharedSession::DisableConsoleLogging() {
  // Without the relay the kernel keeps printing on the console itself.
  if (m_kmsg_fd < 0) return;
  WriteFile(kConsoleLogLevelFile, kConsoleLoggingOff, 0777);
}
