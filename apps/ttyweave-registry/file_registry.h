// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "registry.h"
#include "settings_file.h"

// A Registry kept in memory and in a file holding the JSON document {"section": {"key":
// "value"}} that ReadAllJson returns. Every change is on the disk before it is answered (the file
// is replaced whole and synced, so a crash or power cut leaves the old or the new contents); when
// only the sync of the file's directory fails, the change stands and the failure is said on
// stderr. Flush writes the file again even when nothing changed, and fails with that sync. A
// section exists while it holds a key. Missing sections and keys, and empty names or names with
// a NUL, are InvalidName (InvalidJson in WriteJson, as is a value with a NUL); a change that would
// hold more than `max_keys` keys is Full and changes nothing.
class FileRegistry : public Registry {
 public:
  // Starts from `initial`; the file at `path` is written on the first change.
  FileRegistry(std::string path, Sections initial, std::size_t max_keys);

  std::string ReadAllJson() override;
  void WriteJson(const std::string& json) override;  // adds and replaces keys; keeps the rest
  std::string Read(const std::string& section, const std::string& key) override;
  void Write(const std::string& section, const std::string& key, const std::string& value) override;
  bool KeyExists(const std::string& section, const std::string& key) override;
  bool SectionExists(const std::string& section) override;
  void DeleteKey(const std::string& section, const std::string& key) override;
  void DeleteSection(const std::string& section) override;
  void DeleteAll() override;
  void SectionList(const SectionCallback& callback) override;  // ascending name order
  void KeyList(const std::string& section, const KeyCallback& callback) override;
  void Flush() override;

 private:
  // Makes `next` the contents, file first; throws (changing nothing) when it holds too many keys
  // or cannot be written (but not when only the directory's sync fails).
  void Commit(Sections next);
  void Save(const Sections& sections) const;
  const std::map<std::string, std::string>& SectionOrThrow(const std::string& section) const;

  std::string m_path;
  std::size_t m_max_keys;
  Sections m_sections;
};
