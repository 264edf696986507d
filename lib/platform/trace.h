// SPDX-License-Identifier: MIT
#pragma once

// A diagnostics sink. Sync() returns once everything put so far has left the process.
class BaseTrace {
 public:
  virtual ~BaseTrace() = default;
  virtual void Put(const char* text) = 0;
  virtual void Sync() = 0;
};

// Writes to stderr; Sync() also waits until a terminal behind stderr has transmitted it all.
class StderrTrace : public BaseTrace {
 public:
  ~StderrTrace() override;
  void Put(const char* text) override;
  void Sync() override;
};

// The process's two stderr sinks, built before main and synced again at normal exit.
StderrTrace& PrimaryStderrTrace();
StderrTrace& SecondaryStderrTrace();
