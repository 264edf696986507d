#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "registry.h"

// A Registry kept in memory and in a file holding the JSON document {"section": {"key":
// "value"}} that ReadAllJson returns. Every change is written to the file (replaced whole, so a
// crash leaves the old or the new contents); Flush also syncs it to the disk. A section exists
// while it holds a key. Missing sections and keys, and empty names, are InvalidName; a change
// that would hold more than `max_keys` keys is Full and changes nothing.
class FileRegistry : public Registry {
 public:
  // Loads `path` when it exists; throws std::runtime_error when it cannot be read or is no such
  // document.
  FileRegistry(std::string path, std::size_t max_keys);

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
  using Sections = std::map<std::string, std::map<std::string, std::string>>;

  // Makes `next` the contents, file first; throws (changing nothing) when it holds too many keys
  // or cannot be written.
  void Commit(Sections next);
  void Save(const Sections& sections, bool sync) const;
  const std::map<std::string, std::string>& SectionOrThrow(const std::string& section) const;

  std::string m_path;
  std::size_t m_max_keys;
  Sections m_sections;
};
