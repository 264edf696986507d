#include "file_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "errno_exception.h"

namespace {

using Json = nlohmann::json;

// The document as text. Strings from D-Bus are valid UTF-8; anything else is replaced rather
// than failing the whole answer.
std::string Dump(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void RequireName(const std::string& name) {
  if (name.empty()) throw Registry::InvalidName(name);
}

// Writes all of `text` to `fd`; throws ErrnoException on failure.
void WriteAll(int fd, const std::string& text, const std::string& path) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      throw ErrnoException(errno, path.c_str());
    }
    written += static_cast<std::size_t>(count);
  }
}

}  // namespace

FileRegistry::FileRegistry(std::string path, std::size_t max_keys)
    : m_path(std::move(path)), m_max_keys(max_keys) {
  std::ifstream file(m_path, std::ios::binary);
  if (!file) return;  // nothing stored yet
  std::ostringstream text;
  text << file.rdbuf();
  Json document = Json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) throw std::runtime_error(m_path + ": not valid JSON");
  if (!document.is_object()) throw std::runtime_error(m_path + ": not a JSON object");
  for (const auto& [section, keys] : document.items()) {
    if (!keys.is_object()) throw std::runtime_error(m_path + ": section is not an object");
    for (const auto& [key, value] : keys.items()) {
      if (!value.is_string()) throw std::runtime_error(m_path + ": value is not a string");
      m_sections[section][key] = value.get<std::string>();
    }
  }
}

std::string FileRegistry::ReadAllJson() {
  Json document = Json::object();
  for (const auto& [section, keys] : m_sections) document[section] = keys;
  return Dump(document);
}

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
      if (section.empty() || key.empty()) throw InvalidJson("empty section or key name");
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

void FileRegistry::Flush() { Save(m_sections, /*sync=*/true); }

void FileRegistry::Commit(Sections next) {
  std::size_t keys = 0;
  for (const auto& entry : next) keys += entry.second.size();
  if (keys > m_max_keys) throw Full();
  Save(next, /*sync=*/false);
  m_sections = std::move(next);
}

void FileRegistry::Save(const Sections& sections, bool sync) const {
  Json document = Json::object();
  for (const auto& [section, keys] : sections) document[section] = keys;
  const std::string text = Dump(document) + "\n";
  // Written beside the file and renamed over it, so that readers see the old or the new whole.
  const std::string temporary = m_path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw ErrnoException(errno, temporary.c_str());
  try {
    WriteAll(fd, text, temporary);
    if (sync && fsync(fd) < 0) throw ErrnoException(errno, "fsync");
  } catch (...) {
    close(fd);
    unlink(temporary.c_str());
    throw;
  }
  if (close(fd) < 0) throw ErrnoException(errno, temporary.c_str());
  if (rename(temporary.c_str(), m_path.c_str()) < 0) throw ErrnoException(errno, "rename");
}

const std::map<std::string, std::string>& FileRegistry::SectionOrThrow(
    const std::string& section) const {
  const auto found = m_sections.find(section);
  if (found == m_sections.end()) throw InvalidName(section);
  return found->second;
}
