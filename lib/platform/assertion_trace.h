// SPDX-License-Identifier: MIT
#pragma once

// Raises the trace event that marks an assertion report ("ASRT" with the line of the failed
// check). Costs one flag test when no tracing session listens.
void RaiseAssertionTraceEvent(unsigned line);
