// SPDX-License-Identifier: MIT
// The cost of the assertion trace point while no tracing session has enabled it, against a
// call of an empty function: the difference is the enabled-flag test.
#include <benchmark/benchmark.h>

#include "assertion_trace.h"

namespace {

// As many calls as the figure is quoted for.
constexpr int kCalls = 1000000;

__attribute__((noinline)) void EmptyCall(unsigned line) { benchmark::DoNotOptimize(line); }

void DisabledTracePoint(benchmark::State& state) {
  unsigned line = 117;
  for (auto _ : state) {
    for (int i = 0; i < kCalls; ++i) RaiseAssertionTraceEvent(line);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}

void EmptyFunctionCall(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < kCalls; ++i) EmptyCall(117);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}

}  // namespace

BENCHMARK(DisabledTracePoint)->Unit(benchmark::kMicrosecond);
BENCHMARK(EmptyFunctionCall)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
