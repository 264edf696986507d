// SPDX-License-Identifier: MIT
#include "refusal_filter.h"

bool RefusalFilter::Hold(std::string_view bytes) {
  // The held bytes need no storage: they are always the first m_held bytes of the refusal.
  if (m_held + bytes.size() <= kRefusal.size() && kRefusal.substr(m_held, bytes.size()) == bytes) {
    m_held += bytes.size();
    return true;
  }
  m_holding = false;
  return false;
}
