#pragma once

#include <cstddef>

// Heap allocations made so far by this process, counted by the replacement of the global
// operator new that allocation_counter.cpp brings into the executable it is linked into.
size_t AllocationCount();
