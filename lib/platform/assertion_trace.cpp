// SPDX-License-Identifier: MIT
#include "assertion_trace.h"

#include "trace_point_provider.h"

namespace {

// The tag that marks an assertion report among td_event records.
constexpr char kAssertionTag[] = "ASRT";

}  // namespace

void RaiseAssertionTraceEvent(unsigned line) {
  // Expands to a test of the trace point's enabled flag: the probes are only called (under
  // LTTng-UST's read-side lock) while a tracing session has enabled the event.
  lttng_ust_tracepoint(tessaline_platform, td_event, kAssertionTag, static_cast<int>(line));
}
