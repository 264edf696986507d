// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

// Who may read the files of the session's output (the console log, the recording): root, and the
// group that reads the system's logs where there is one ("adm"); never the users of the session's
// sockets, who could otherwise read what others typed and saw.
struct OutputFileAccess {
  mode_t mode;  // 0640 with that group, 0600 without
  gid_t group;  // -1 (root's) without
};

// Looks the group up now: a device may gain it between sessions.
OutputFileAccess ReadOutputFileAccess();
