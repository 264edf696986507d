// SPDX-License-Identifier: MIT
// libFuzzer target for the kernel log record formatter: the first byte picks the level, the rest
// is one record as a read of the device returns it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kmsg_record.h"

namespace {

// A read of the kernel log asks for at most this many bytes.
constexpr size_t kLargestRecord = 4095;
// Levels 0 to 9 take every relay decision there is (8 and above relay everything).
constexpr uint32_t kLevels = 10;

bool EndsWith(const std::string& text, const char* end) {
  const std::string tail(end);
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size - 1 > kLargestRecord) return 0;
  const std::string record(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string line = FormatKmsgRecord(record.c_str(), data[0] % kLevels);
  // Nothing, a parse error, or a whole relayed line (cut to 4000 characters when longer).
  const bool well_formed = line.empty() || line.rfind("ERROR parsing kmsg: ", 0) == 0 ||
                           (line[0] == '{' && (EndsWith(line, "\r\n") || line.size() == 4000));
  if (!well_formed || line.size() > 4000) __builtin_trap();
  return 0;
}
