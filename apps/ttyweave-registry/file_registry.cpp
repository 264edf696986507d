// SPDX-License-Identifier: MIT
#include "file_registry.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <utility>

#include "durable_file.h"
#include "errno_exception.h"
#include "safe_fprintf.h"

namespace {

using Json = nlohmann::json;

// Text the bus can carry back to a reader: D-Bus strings hold no NUL (JSON can spell one).
bool IsText(const std::string& text) { return text.find('\0') == std::string::npos; }

bool IsUsableName(const std::string& name) { return !name.empty() && IsText(name); }

void RequireName(const std::string& name) {
  if (!IsUsableName(name)) throw Registry::InvalidName(name);
}

}  // namespace

FileRegistry::FileRegistry(std::string path, Sections initial, std::size_t max_keys)
    : m_path(std::move(path)), m_max_keys(max_keys), m_sections(std::move(initial)) {}

std::string FileRegistry::ReadAllJson() { return FormatSections(m_sections); }

void FileRegistry::WriteJson(const std::string& json) {
  Json document;
  try {
    document = Json::parse(json);
  } catch (const Json::parse_error& error) {
    throw InvalidJson(error.what());
  }
  if (!document.is_object()) throw InvalidJson("the document is not an object");
  Sections next = m_sections;
  for (const auto& [section, keys] : document.items()) {
    if (!keys.is_object()) throw InvalidJson("section " + section + " is not an object");
    for (const auto& [key, value] : keys.items()) {
      if (!value.is_string()) throw InvalidJson("value of " + key + " is not a string");
      if (!IsUsableName(section) || !IsUsableName(key)) {
        throw InvalidJson("empty section or key name, or one with a NUL");
      }
      if (!IsText(value.get<std::string>())) throw InvalidJson("value of " + key + " has a NUL");
      next[section][key] = value.get<std::string>();
    }
  }
  Commit(std::move(next));
}

std::string FileRegistry::Read(const std::string& section, const std::string& key) {
  const auto& keys = SectionOrThrow(section);
  const auto found = keys.find(key);
  if (found == keys.end()) throw InvalidName(key);
  return found->second;
}

void FileRegistry::Write(const std::string& section, const std::string& key,
                         const std::string& value) {
  RequireName(section);
  RequireName(key);
  Sections next = m_sections;
  next[section][key] = value;
  Commit(std::move(next));
}

bool FileRegistry::KeyExists(const std::string& section, const std::string& key) {
  const auto found = m_sections.find(section);
  return found != m_sections.end() && found->second.count(key) != 0;
}

bool FileRegistry::SectionExists(const std::string& section) {
  return m_sections.count(section) != 0;
}

void FileRegistry::DeleteKey(const std::string& section, const std::string& key) {
  if (SectionOrThrow(section).count(key) == 0) throw InvalidName(key);
  Sections next = m_sections;
  next[section].erase(key);
  if (next[section].empty()) next.erase(section);
  Commit(std::move(next));
}

void FileRegistry::DeleteSection(const std::string& section) {
  SectionOrThrow(section);
  Sections next = m_sections;
  next.erase(section);
  Commit(std::move(next));
}

void FileRegistry::DeleteAll() { Commit(Sections()); }

void FileRegistry::SectionList(const SectionCallback& callback) {
  for (const auto& entry : m_sections) callback(entry.first);
}

void FileRegistry::KeyList(const std::string& section, const KeyCallback& callback) {
  for (const auto& [key, value] : SectionOrThrow(section)) callback(key, value);
}

void FileRegistry::Flush() {
  Save(m_sections);
  SyncDirectoryOf(m_path);
}

void FileRegistry::Commit(Sections next) {
  std::size_t keys = 0;
  for (const auto& entry : next) keys += entry.second.size();
  if (keys > m_max_keys) throw Full();
  Save(next);
  m_sections = std::move(next);
  // The new store is in place: it is what a reader and a restarted service find, so it is what
  // is served and answered, even when it may not yet survive a power cut.
  try {
    SyncDirectoryOf(m_path);
  } catch (const ErrnoException& error) {
    SafeFprintf(
        stderr,
        "ttyweave-registry-service: the change stands, but may not survive a power cut: %s\n",
        error.what());
  }
}

void FileRegistry::Save(const Sections& sections) const {
  ReplaceFile(m_path, FormatSections(sections) + "\n");
}

const std::map<std::string, std::string>& FileRegistry::SectionOrThrow(
    const std::string& section) const {
  const auto found = m_sections.find(section);
  if (found == m_sections.end()) throw InvalidName(section);
  return found->second;
}
