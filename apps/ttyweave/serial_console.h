// SPDX-License-Identifier: MIT
#pragma once

#include "terminal.h"

// The serial console, descriptor 0, both ways: never disconnected. When it fails (an error, or
// it takes nothing for kStalledTerminalTimeout) it loses the output it cannot take instead of
// holding the program back for every terminal (counted, and said once it takes output again);
// after an error it also rests out of the poll for kSerialRetryInterval, so that a fault that
// lasts is neither reported on every pass nor holds the others back. Its end of file ends the
// session.
class SerialConsole : public Terminal {
 public:
  // How often a serial console that keeps failing is looked at again: soon enough to resume
  // after a passing fault, seldom enough not to flood standard error with its messages.
  static constexpr std::chrono::seconds kSerialRetryInterval{1};
  // Its number in the terminals' lines.
  static constexpr unsigned kNumber = 0;

  SerialConsole(OutputRing& output, InputRing& input);
  // Descriptor 0 stays the daemon's: it is not closed.
  ~SerialConsole() override;

  std::string Describe() const override { return "serial console"; }
  bool IsSerialConsole() const override { return true; }
  bool IsWaitedFor() const override { return Terminal::IsWaitedFor() && !m_failed; }
  void PreparePass() override;
  Outcome Expire(Clock::time_point now, size_t position, bool final_output) override;
  std::optional<Clock::time_point> Deadline(bool final_output) const override;

 protected:
  Outcome ConnectionError(size_t position) override;
  // It rests as after an error: its rest depends only on its back-off.
  Outcome HangUpWithoutInputRoom() override { return Outcome::kFailed; }
  Outcome EndOfFile() override;
  Outcome ReadFailed(int error, size_t position) override;
  Outcome WriteFailed(int error, size_t position) override;
  void TookOutput() override;
  void RestAfterError() override;

 private:
  void DropBacklog();

  // It failed and has not taken output since.
  bool m_failed = false;
  // Its back-off after an error, and the output it lost meanwhile.
  std::optional<Clock::time_point> m_resume_time;
  size_t m_lost_bytes = 0;
};
