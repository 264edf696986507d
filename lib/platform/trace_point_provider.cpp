// SPDX-License-Identifier: MIT
// The probe (the code that records td_event) and the trace point itself, both built into each
// executable. The start-up glue generated here runs before main: it loads the trace point
// library with dlopen, registers this executable's trace point table and registers the probe;
// static destructors undo it at normal exit. The probe registration links the executable to
// liblttng-ust, so the LTTng-UST libraries must be installed wherever it runs.
//
// A static archive drops objects that nothing refers to. This one stays in every executable
// that reports assertions: RaiseAssertionTraceEvent refers to the trace point defined here.
#define LTTNG_UST_TRACEPOINT_CREATE_PROBES
#define LTTNG_UST_TRACEPOINT_DEFINE

#include "trace_point_provider.h"
