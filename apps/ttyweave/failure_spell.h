// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "safe_fprintf.h"

// A file of the session's output (the console log, the recording) through a spell of failure, as
// standard error tells it: the failure once when it starts, and how much output was lost
// meanwhile when the file works again.
class FailureSpell {
 public:
  // `name`: the file as the lines call it ("Console log").
  explicit FailureSpell(const char* name) : m_name(name) {}

  // The file at `path` failed and lost `lost` bytes: said unless a spell is already being said.
  void Failed(const std::string& path, const std::exception& error, uint64_t lost) {
    if (!m_failing)
      SafeFprintf(stderr, "ttyweave: %s %s failed: %s\n", m_name, path.c_str(), error.what());
    m_failing = true;
    m_lost += lost;
  }
  // Output lost while the file cannot be written.
  void Lost(uint64_t bytes) { m_lost += bytes; }
  // The file took output again: what the spell lost is said, and the count starts anew.
  void Recovered() {
    if (!m_failing) return;
    SafeFprintf(stderr, "ttyweave: %s works again; it lost %llu bytes while it failed\n", m_name,
                static_cast<unsigned long long>(m_lost));
    m_failing = false;
    m_lost = 0;
  }
  // What is lost and not yet said.
  uint64_t LostBytes() const { return m_lost; }

 private:
  const char* const m_name;
  bool m_failing = false;
  uint64_t m_lost = 0;
};
