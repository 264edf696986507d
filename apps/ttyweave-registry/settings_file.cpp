// SPDX-License-Identifier: MIT
#include "settings_file.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "durable_file.h"
#include "errno_exception.h"
#include "safe_fprintf.h"

namespace {

using Json = nlohmann::json;

std::string UtcTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

Sections ParseSections(const std::string& text) {
  const Json document = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) throw std::runtime_error("not valid JSON");
  if (!document.is_object()) throw std::runtime_error("not a JSON object");
  Sections sections;
  for (const auto& [section, keys] : document.items()) {
    if (!keys.is_object()) throw std::runtime_error("section " + section + " is not an object");
    for (const auto& [key, value] : keys.items()) {
      if (!value.is_string()) throw std::runtime_error("value of " + key + " is not a string");
      sections[section][key] = value.get<std::string>();
    }
  }
  return sections;
}

std::string FormatSections(const Sections& sections) {
  // Strings from D-Bus are valid UTF-8; anything else is replaced rather than failing.
  return Json(sections).dump(-1, ' ', false, Json::error_handler_t::replace);
}

Sections LoadSettings(const std::string& store, const std::string& defaults) {
  if (const std::optional<std::string> text = ReadFileIfPresent(store)) {
    try {
      return ParseSections(*text);
    } catch (const std::runtime_error& error) {
      const std::string aside = store + ".corrupt-" + UtcTimeStamp();
      if (std::rename(store.c_str(), aside.c_str()) < 0) throw ErrnoException(errno, aside.c_str());
      SafeFprintf(stderr,
                  "ttyweave-registry-service: %s: %s; kept as %s, starting from the defaults\n",
                  store, error.what(), aside);
    }
  }
  if (defaults.empty()) return {};
  const std::optional<std::string> text = ReadFileIfPresent(defaults);
  if (!text) throw std::runtime_error(defaults + ": no such file");
  try {
    return ParseSections(*text);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(defaults + ": " + error.what());
  }
}
