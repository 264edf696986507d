#pragma once

#include <string>

// A pseudo-terminal pair owned by a test: the master, and the slave opened without becoming
// anyone's controlling terminal.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int Master() const { return m_master; }
  int Slave() const { return m_slave; }
  const std::string& SlavePath() const { return m_slave_path; }
  void CloseSlave();

  // Reads from the master until `text` has arrived or the time-out passes; returns all read.
  std::string ReadUntil(const std::string& text, int timeout_ms = 5000);
  void Write(const std::string& text);

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_slave_path;
};
