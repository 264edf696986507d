#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

// A private LTTng session daemon for one test. It runs in mount and network namespaces of its
// own in which /run and /dev/shm are folders of the test, with its own HOME and LTTNG_HOME, so
// it neither sees nor disturbs any other tracing on the machine. The destructor ends it (and
// the consumer daemons it started) by pid.
class TracingWorld {
 public:
  // Starts lttng-sessiond and waits until it takes commands and application registrations.
  // Returns nothing, with the reason in `why_not`, when a session daemon cannot run here.
  static std::unique_ptr<TracingWorld> Start(std::string& why_not);
  ~TracingWorld();
  TracingWorld(const TracingWorld&) = delete;
  TracingWorld& operator=(const TracingWorld&) = delete;

  // A folder of the test, seen at the same path inside the world.
  const std::string& Dir() const { return m_dir; }

  // Runs a program inside the world, with descriptors 0 to 2 only, the world's HOME and
  // LTTNG_HOME and the extra "NAME=value" entries of `env`, and waits for it; a program that
  // outlives the time-out is killed (its status then says so).
  ChildResult Run(const std::vector<std::string>& argv,
                  const std::vector<std::string>& env = {}) const;

  // Runs the lttng client inside the world; it never starts a session daemon of its own.
  ChildResult Lttng(const std::vector<std::string>& args) const;

 private:
  explicit TracingWorld(std::string dir);
  bool LaunchSessionDaemon(std::string& why_not);
  bool WaitUntilReady(std::string& why_not);
  std::vector<std::string> Environment(const std::vector<std::string>& extra) const;
  void StopSessionDaemon();

  std::string m_dir;
  pid_t m_sessiond = -1;
  bool m_sessiond_reaped = false;
  int m_mount_namespace = -1;
  int m_network_namespace = -1;
  mutable int m_runs = 0;
};
