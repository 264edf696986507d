// SPDX-License-Identifier: MIT
// The assertion trace event in a build without tracing (TTYWEAVE_TRACING off): nothing to raise,
// and no LTTng-UST in the process. The kernel log record of the report is unchanged.
#include "assertion_trace.h"

void RaiseAssertionTraceEvent(unsigned) {}
