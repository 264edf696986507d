// SPDX-License-Identifier: MIT
// The LTTng-UST trace point provider "tessaline_platform" and its one event, td_event: a text
// and a number. Read twice by the provider's source (the LTTng-UST provider pattern), hence
// the guard that lets the second reading through.
#undef LTTNG_UST_TRACEPOINT_PROVIDER
#define LTTNG_UST_TRACEPOINT_PROVIDER tessaline_platform

#undef LTTNG_UST_TRACEPOINT_INCLUDE
#define LTTNG_UST_TRACEPOINT_INCLUDE "trace_point_provider.h"

#if !defined(PLATFORM_TRACE_POINT_PROVIDER_H) || defined(LTTNG_UST_TRACEPOINT_HEADER_MULTI_READ)
#define PLATFORM_TRACE_POINT_PROVIDER_H

#include <lttng/tracepoint.h>

// desc: a short tag ("ASRT"), recorded as a string ("(null)" for a null pointer);
// value: recorded as a signed 32-bit integer, shown in decimal. No log level: the default.
LTTNG_UST_TRACEPOINT_EVENT(tessaline_platform, td_event,
                           LTTNG_UST_TP_ARGS(const char*, desc, int, value),
                           LTTNG_UST_TP_FIELDS(lttng_ust_field_string(desc, desc)
                                                   lttng_ust_field_integer(int, value, value)))

#endif  // PLATFORM_TRACE_POINT_PROVIDER_H

#include <lttng/tracepoint-event.h>
