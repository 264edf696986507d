// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>

#include "file_descriptor.h"
#include "poll_set.h"
#include "terminal.h"

// The user id of `name`. Throws ErrnoException("getpwnam") when the lookup fails, or
// std::runtime_error("User '<name>'not found") when there is no such user.
uid_t LookupUserId(const char* name);

// A socket terminals of one kind arrive through, reachable only by its owner (mode 0700) from
// the moment it exists. After a failed accept it rests out of the poll for kAcceptRetryDelay.
class Listener : public PollSource {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Kind { kNetwork, kViewer };

  // How long the listener rests after a failed accept (out of descriptors, say) before the
  // waiting connection is tried again: a user hardly notices, and the loop does not spin.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

  explicit Listener(Kind arrivals) : m_kind(arrivals) {}

  // Listens on `path`, a socket that only `owner_name` (and root) can reach. Throws
  // ErrnoException or std::runtime_error.
  void Start(const char* path, const char* owner_name);

  Kind GetKind() const { return m_kind; }
  // Its terminals' kind, in their lines.
  const char* KindName() const { return m_kind == Kind::kViewer ? "viewer" : "network"; }
  // In the poll while it listens and does not rest.
  bool InPoll() const { return m_fd.IsOpen() && !m_retry_at; }
  int Fd() const { return m_fd.Get(); }
  bool HasArrival() const { return Returned() != 0; }

  // Accepts the waiting connection; none when the accept failed (said once while the failure
  // lasts), and the listener rests.
  FileDescriptor Accept(Clock::time_point now, Peer* peer);
  // The terminal a connection through this listener makes.
  std::unique_ptr<Terminal> MakeTerminal(FileDescriptor connection, unsigned number, Peer peer,
                                         OutputRing& output, InputRing& input) const;

  std::optional<Clock::time_point> Deadline() const { return m_retry_at; }
  // Back in the poll once its rest is over.
  void Expire(Clock::time_point now);

 private:
  const Kind m_kind;
  FileDescriptor m_fd;
  // While it rests after a failed accept, when it is tried again.
  std::optional<Clock::time_point> m_retry_at;
  int m_last_error = 0;
};
