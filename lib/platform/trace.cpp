// SPDX-License-Identifier: MIT
#include "trace.h"

#include <termios.h>

#include <cstdio>

namespace {

StderrTrace g_primary_trace;
StderrTrace g_secondary_trace;

}  // namespace

StderrTrace::~StderrTrace() { Sync(); }

void StderrTrace::Put(const char* text) { std::fputs(text, stderr); }

void StderrTrace::Sync() {
  std::fflush(stderr);
  // Fails harmlessly when stderr is not a terminal.
  tcdrain(fileno(stderr));
}

StderrTrace& PrimaryStderrTrace() { return g_primary_trace; }
StderrTrace& SecondaryStderrTrace() { return g_secondary_trace; }
