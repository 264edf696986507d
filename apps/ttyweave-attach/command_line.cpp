// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kUsage[] = "usage: ttyweave-attach [-r] [-e KEY] [SOCKET]\n";
constexpr char kHelp[] =
    "       ttyweave-attach -h | --help | --version\n"
    "Joins this terminal to the console session that ttyweave shares, until the detach key,\n"
    "the end of the session or the end of input.\n"
    "  -r      read-only: watch the session, send nothing (the viewers' socket)\n"
    "  -e KEY  the detach key, ^X in caret notation, or none (default ^\\)\n"
    "  SOCKET  the session's socket (default %s)\n"
    "As an account's login shell it joins the session and runs nothing else.\n"
    "More: ttyweave-attach(1).\n";
// "-e none" turns detaching off, for sessions that need every control key.
constexpr char kNoDetachKeyName[] = "none";
// In caret notation '?' stands for DEL, the one control character outside 0x00 to 0x1f.
constexpr unsigned char kDelete = 0x7f;
// Caret notation names a control character by the character 0x40 above it ('@' is NUL).
constexpr unsigned char kCaretOffset = 0x40;

std::optional<AttachOptions> UsageError() {
  std::fputs(kUsage, stderr);
  return std::nullopt;
}

}  // namespace

std::optional<unsigned char> ParseControlKey(const char* name) {
  if (name[0] != '^' || name[1] == '\0' || name[2] != '\0') return std::nullopt;
  // std::toupper takes an unsigned char's value: a non-ASCII char may be negative.
  const unsigned char named =
      static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(name[1])));
  if (named == '?') return kDelete;
  if (named < '@' || named > '_') return std::nullopt;
  return static_cast<unsigned char>(named - kCaretOffset);
}

std::optional<int> AnswerOwnOption(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::printf(kHelp, kListenerPath);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::fputs("ttyweave-attach " TTYWEAVE_VERSION "\n", stdout);
    return 0;
  }
  return std::nullopt;
}

std::optional<AttachOptions> ParseCommandLine(int argc, char** argv) {
  AttachOptions options;
  // '+': options only before the socket path, as POSIX has it; ':' first: we report problems.
  int option;
  while ((option = getopt(argc, argv, "+:re:")) != -1) {
    switch (option) {
      case 'r':
        options.read_only = true;
        break;
      case 'e':
        if (std::strcmp(optarg, kNoDetachKeyName) == 0) {
          options.detach_key.reset();
        } else if (const auto key = ParseControlKey(optarg)) {
          options.detach_key = key;
        } else {
          std::fprintf(stderr, "ttyweave-attach: bad detach key '%s': give ^X or none\n", optarg);
          return UsageError();
        }
        break;
      case ':':
        std::fprintf(stderr, "ttyweave-attach: option -%c needs a value\n", optopt);
        return UsageError();
      default:
        std::fprintf(stderr, "ttyweave-attach: unknown option -%c\n", optopt);
        return UsageError();
    }
  }
  if (argc - optind > 1) {
    std::fputs("ttyweave-attach: more than one socket named\n", stderr);
    return UsageError();
  }
  if (optind < argc) options.socket_path = argv[optind];
  return options;
}
