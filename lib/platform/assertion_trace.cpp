#include "assertion_trace.h"

// The trace point provider is not built yet: assertion reports raise no event.
void RaiseAssertionTraceEvent(unsigned /*line*/) {}
