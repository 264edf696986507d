// SPDX-License-Identifier: MIT
#include "output_file_access.h"

#include <grp.h>

#include <vector>

namespace {

constexpr char kLogGroup[] = "adm";
constexpr mode_t kGroupReadableMode = 0640;
constexpr mode_t kOwnerOnlyMode = 0600;
// Room for any group line of a device's /etc/group.
constexpr size_t kGroupBufferSize = 16384;

}  // namespace

OutputFileAccess ReadOutputFileAccess() {
  group entry;
  group* found = nullptr;
  std::vector<char> buffer(kGroupBufferSize);
  if (getgrnam_r(kLogGroup, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return {kOwnerOnlyMode, static_cast<gid_t>(-1)};
  return {kGroupReadableMode, entry.gr_gid};
}
