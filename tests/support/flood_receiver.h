#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "flood_pattern.h"

// What one descriptor brought while a flood was received.
struct FloodStream {
  explicit FloodStream(uint64_t expected_bytes) : checker(expected_bytes) {}

  FloodPatternChecker checker;
  // It reached end of file or failed before all expected bytes had come.
  bool ended_early = false;
  // When its last expected byte came (meaningful once checker.Complete()).
  std::chrono::steady_clock::time_point completed_at{};
};

// Reads from every descriptor at once (so that none is held up by the others) and checks each
// one's bytes against the flood pattern as they come, until each has brought `bytes` bytes,
// ended early, or the deadline has passed. Returns one stream per descriptor, in order.
std::vector<FloodStream> ReceiveFlood(const std::vector<int>& fds, uint64_t bytes,
                                      std::chrono::steady_clock::time_point deadline);
