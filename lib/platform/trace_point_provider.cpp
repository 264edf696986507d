// The probe (the code that records td_event) and the trace point itself, both built into each
// executable. The start-up glue generated here runs before main: it loads the trace point
// library with dlopen, registers this executable's trace point table and registers the probe;
// static destructors undo it at normal exit. Without the trace point library the event simply
// stays disabled.
//
// A static archive drops objects nobody references: this one is kept because RaiseAssertion-
// TraceEvent (assertion_trace.cpp, reached from every assertion report) refers to the trace
// point defined here.
#define LTTNG_UST_TRACEPOINT_CREATE_PROBES
#define LTTNG_UST_TRACEPOINT_DEFINE

#include "trace_point_provider.h"
