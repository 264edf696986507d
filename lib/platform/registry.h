// SPDX-License-Identifier: MIT
#pragma once

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

// The device's settings store: string values under a section and a key. Every operation is one
// request to the store and throws when it fails (the nested exceptions below, or the transport's
// own error).
class Registry {
 public:
  // A section or key the store does not accept (for example one that does not exist).
  class InvalidName : public std::exception {
   public:
    explicit InvalidName(const std::string& name)
        : m_message("Invalid name: " + name), m_name(name) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Name() const { return m_name; }

   private:
    std::string m_message;
    std::string m_name;
  };

  // A JSON text the store cannot take.
  class InvalidJson : public std::exception {
   public:
    explicit InvalidJson(const std::string& detail)
        : m_message("Invalid JSON format:" + detail), m_detail(detail) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Detail() const { return m_detail; }

   private:
    std::string m_message;
    std::string m_detail;
  };

  class Full : public std::runtime_error {
   public:
    Full() : std::runtime_error("Registry full") {}
  };

  // A string argument that is not valid UTF-8; nothing was sent.
  class InvalidEncoding : public std::runtime_error {
   public:
    InvalidEncoding() : std::runtime_error("Input data not valid UTF-8") {}
  };

  using SectionCallback = std::function<void(const std::string& name)>;
  using KeyCallback = std::function<void(const std::string& key, const std::string& value)>;

  virtual ~Registry() = default;

  // The whole store as JSON, {"section": {"key": "value"}}.
  virtual std::string ReadAllJson() = 0;
  virtual void WriteJson(const std::string& json) = 0;
  virtual std::string Read(const std::string& section, const std::string& key) = 0;
  virtual void Write(const std::string& section, const std::string& key,
                     const std::string& value) = 0;
  virtual bool KeyExists(const std::string& section, const std::string& key) = 0;
  virtual bool SectionExists(const std::string& section) = 0;
  virtual void DeleteKey(const std::string& section, const std::string& key) = 0;
  virtual void DeleteSection(const std::string& section) = 0;
  virtual void DeleteAll() = 0;
  // Each section name, in the store's order; the callback may use the Registry again.
  virtual void SectionList(const SectionCallback& callback) = 0;
  // Each key of the section with its value, in ascending key order; the callback may use the
  // Registry again.
  virtual void KeyList(const std::string& section, const KeyCallback& callback) = 0;
  // Makes earlier changes durable.
  virtual void Flush() = 0;
};
