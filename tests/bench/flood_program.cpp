// The program throughput benchmarks run on a terminal: says "ready", waits for a line, writes
// the first <bytes> bytes of the flood pattern to its standard output, then waits for another
// line before it exits 0 (so that whoever measures the terminal's carrier can still look at it
// while nothing more is written). Exits 1 when its input ends early or a write fails.
//
// Usage: flood_program <bytes>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flood_pattern.h"

namespace {

// Large enough that the program's own system calls cost little next to carrying the bytes.
constexpr size_t kChunkSize = 1 << 16;

bool WriteAll(const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t written = write(1, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// Reads standard input up to and including a newline; false when it ends first.
bool ReadLine() {
  for (;;) {
    char byte;
    const ssize_t got = read(0, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (byte == '\n') return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const uint64_t bytes = std::strtoull(argv[1], nullptr, 10);
  const auto* ready = reinterpret_cast<const uint8_t*>(kFloodReadyLine);
  if (!WriteAll(ready, std::strlen(kFloodReadyLine)) || !ReadLine()) return 1;
  std::vector<uint8_t> chunk(kChunkSize);
  for (uint64_t position = 0; position < bytes;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - position));
    FillFloodPattern(position, chunk.data(), length);
    if (!WriteAll(chunk.data(), length)) return 1;
    position += length;
  }
  return ReadLine() ? 0 : 1;
}
