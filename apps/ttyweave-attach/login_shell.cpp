// SPDX-License-Identifier: MIT
#include "login_shell.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "terminal_socket.h"

namespace {

constexpr char kProgramName[] = "ttyweave-attach";

bool IsViewersAccount() {
  const passwd* user = getpwuid(getuid());
  return user != nullptr && std::strcmp(user->pw_name, kViewListenerOwner) == 0;
}

// The words of a command as a remote-login service passes it: split at blanks, no quoting.
std::vector<std::string> SplitWords(const char* command) {
  std::istringstream stream(command);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

bool NamesThisProgram(const std::string& word) {
  const size_t slash = word.rfind('/');
  return word.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos,
                      kProgramName) == 0;
}

std::optional<AttachOptions> ParseCommand(const char* command) {
  // Kept for the life of the process: the options point into them.
  static std::vector<std::string> words;
  static std::vector<char*> arguments;
  words = SplitWords(command);
  if (words.empty() || !NamesThisProgram(words[0])) {
    std::fprintf(stderr, "%s: this account only joins the shared session; not running: %s\n",
                 kProgramName, command);
    return std::nullopt;
  }
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(words.size()), arguments.data());
}

}  // namespace

bool StartedAsLoginShell(int argc, char** argv) {
  return (argc >= 1 && argv[0][0] == '-') || (argc >= 2 && std::strcmp(argv[1], "-c") == 0);
}

std::optional<AttachOptions> ParseLoginShell(int argc, char** argv) {
  std::optional<AttachOptions> options = AttachOptions();
  if (argc >= 2 && std::strcmp(argv[1], "-c") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "%s: -c takes one command\n", kProgramName);
      return std::nullopt;
    }
    options = ParseCommand(argv[2]);
  } else if (argc > 1) {
    std::fprintf(stderr, "%s: a login shell takes no arguments but -c COMMAND\n", kProgramName);
    return std::nullopt;
  }
  if (!options) return options;
  if (IsViewersAccount()) {
    options->read_only = true;
    options->socket_path = kViewListenerPath;
  } else if (std::strcmp(options->socket_path, kListenerPath) != 0) {
    // Any other socket the account can reach would be a way in to something else.
    std::fprintf(stderr, "%s: this account only joins the shared session; not running: %s\n",
                 kProgramName, argv[2]);
    return std::nullopt;
  }
  return options;
}
