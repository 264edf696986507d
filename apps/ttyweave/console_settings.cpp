// SPDX-License-Identifier: MIT
#include "console_settings.h"

#include <optional>

#include "registry_client_impl.h"
#include "registry_number.h"
#include "safe_fprintf.h"

namespace {

constexpr char kSection[] = "console";

// The key's value, or nothing when it cannot be read (missing, no Registry, no answer).
std::optional<std::string> ReadKey(Registry& registry, const char* key) {
  try {
    return registry.Read(kSection, key);
  } catch (...) {
    return std::nullopt;
  }
}

// Sets `size` (holding the default) to the key's number when it is from `smallest` to `largest`;
// any other value keeps the default, with one line on stderr.
void ReadSize(Registry& registry, const char* key, size_t smallest, size_t largest, size_t& size) {
  const auto value = ReadKey(registry, key);
  if (!value) return;
  const auto number = AsNumber<long long>(*value);
  if (number && *number >= static_cast<long long>(smallest) &&
      *number <= static_cast<long long>(largest)) {
    size = static_cast<size_t>(*number);
  } else {
    SafeFprintf(stderr, "ttyweave: Console %s '%s' is not from %zu to %zu: using %zu\n", key,
                value->c_str(), smallest, largest, size);
  }
}

// The key's absolute path; empty when it is missing, empty or not absolute (said on stderr).
std::string ReadPath(Registry& registry, const char* key, const char* what) {
  const auto path = ReadKey(registry, key);
  if (!path || path->empty()) return "";
  if ((*path)[0] == '/') return *path;
  SafeFprintf(stderr, "ttyweave: Console %s '%s' is not an absolute path: no %s\n", key,
              path->c_str(), what);
  return "";
}

// The key's number from 1 to kMaxWindowDimension, or `fallback` (said on stderr when the key has
// another value).
uint16_t ReadWindowDimension(Registry& registry, const char* key, uint16_t fallback) {
  const auto value = ReadKey(registry, key);
  if (!value) return fallback;
  const auto number = AsNumber<long long>(*value);
  if (number && *number >= 1 && *number <= kMaxWindowDimension)
    return static_cast<uint16_t>(*number);
  SafeFprintf(stderr, "ttyweave: Console %s '%s' is not from 1 to %u: using %u\n", key,
              value->c_str(), static_cast<unsigned>(kMaxWindowDimension),
              static_cast<unsigned>(fallback));
  return fallback;
}

}  // namespace

ConsoleSettings ReadConsoleSettings() {
  ConsoleSettings settings;
  Registry* registry = nullptr;
  try {
    registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
  } catch (...) {
    return settings;  // said already, when the networking keys were read
  }
  settings.log_file = ReadPath(*registry, "log_file", "log");
  settings.recording = ReadPath(*registry, "recording", "recording");
  ReadSize(*registry, "log_size", ConsoleSettings::kSmallestLogSize,
           ConsoleSettings::kLargestLogSize, settings.log_size);
  ReadSize(*registry, "recording_size", ConsoleSettings::kSmallestRecordingSize,
           ConsoleSettings::kLargestRecordingSize, settings.recording_size);
  if (const auto viewers = ReadKey(*registry, "viewers")) {
    const auto number = AsNumber<long long>(*viewers);
    if (number && *number != 0)
      settings.viewers =
          *number >= 1 && *number <= static_cast<long long>(ConsoleSettings::kMostViewers)
              ? static_cast<size_t>(*number)
              : ConsoleSettings::kMostViewers;
  }
  settings.window_size.columns =
      ReadWindowDimension(*registry, "columns", ConsoleSettings::kDefaultWindowSize.columns);
  settings.window_size.rows =
      ReadWindowDimension(*registry, "rows", ConsoleSettings::kDefaultWindowSize.rows);
  return settings;
}
