// SPDX-License-Identifier: MIT
// The Registry client against the Registry service on a private bus: every operation, and
// what the caller sees of each way a call can fail.
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "registry_client_impl.h"

namespace {

// The first `count` lines a shell command prints. Its output stays open: the Registry service
// prints a line per call.
std::vector<std::string> Lines(const std::string& command, int count) {
  FILE* out = popen(command.c_str(), "r");
  std::vector<std::string> lines;
  char line[512];
  while (out != nullptr && static_cast<int>(lines.size()) < count && std::fgets(line, sizeof line, out))
    lines.emplace_back(line, std::strcspn(line, "\n"));
  lines.resize(count);
  return lines;
}

// Ends what a test started, by pid, and removes its files, however the test ends.
struct Stopper {
  std::vector<pid_t> pids;
  std::vector<std::string> files;
  ~Stopper() {
    for (pid_t pid : pids) kill(pid, SIGTERM);
    for (const std::string& file : files) unlink(file.c_str());
  }
};

// What a call ends in: "returned", or the type and what() of the exception it threw (for a
// D-Bus error, its name).
std::string Outcome(const std::function<void()>& call) {
  try {
    call();
    return "returned";
  } catch (const DBus::Error& error) {
    return std::string("DBus::Error ") + error.name();
  } catch (const std::exception& error) {
    std::unique_ptr<char, decltype(&std::free)> type(
        abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, nullptr), std::free);
    return std::string(type.get()) + ": " + error.what();
  }
}

TEST(RegistryClient, EveryOperationAndEveryFailureAsTheCallerSeesThem) {
  char store[] = "/tmp/ttyweave-registry-XXXXXX";
  close(mkstemp(store));
  // A bus of the session kind (anyone may own any name) serves as the system bus. Its socket is
  // named here: the daemon leaves it behind when it is stopped.
  const std::string socket = std::string(store) + ".bus";
  const auto bus = Lines(
      "dbus-daemon --session --fork --print-address=1 --print-pid=1 --address=unix:path=" + socket, 2);
  Stopper stopper{{std::atoi(bus[1].c_str())}, {store, socket}};
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus[0].c_str(), 1);
  Registry& registry = *plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
  // Any error the client does not know of reaches the caller as it came.
  EXPECT_EQ(Outcome([&] { registry.Read("networking", "telnet"); }),
            "DBus::Error org.freedesktop.DBus.Error.ServiceUnknown");
  std::ofstream(store) << R"({"networking": {"telnet": "23"}, "système": {"clé": "välue"}})";
  const auto service = Lines(std::string("echo $$; exec " REGISTRY_SERVICE " --max-keys 4 --store ") +
                                 store + " --address " + bus[0],
                             2);
  stopper.pids.push_back(std::atoi(service[0].c_str()));
  ASSERT_EQ(service[1], "ready");
  EXPECT_EQ(registry.Read("networking", "telnet"), "23");
  EXPECT_EQ(registry.Read("système", "clé"), "välue");
  registry.Write("networking", "ssh", "22");
  EXPECT_TRUE(registry.KeyExists("networking", "ssh"));
  EXPECT_FALSE(registry.KeyExists("networking", "serial_with_telnet"));
  EXPECT_TRUE(registry.SectionExists("networking"));
  std::vector<std::string> seen;
  registry.SectionList([&](const std::string& name) { seen.push_back(name); });
  // Callbacks run after the call's lock is released, so they may use the client again.
  registry.KeyList("networking", [&](const std::string& key, const std::string& value) {
    seen.push_back(key + "=" + value + ":" + registry.Read("networking", key));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"networking", "système", "ssh=22:22", "telnet=23:23"}));
  registry.DeleteKey("networking", "ssh");
  registry.DeleteSection("système");
  registry.Flush();
  EXPECT_EQ(registry.ReadAllJson(), R"({"networking":{"telnet":"23"}})");
  registry.WriteJson(R"({"log": {"level": "4"}})");
  EXPECT_EQ(registry.Read("log", "level"), "4");
  registry.DeleteAll();
  EXPECT_FALSE(registry.SectionExists("networking"));

  const struct {
    const char* call;
    std::function<void()> make;
    std::string outcome;
  } failures[] = {
      {"missing key", [&] { registry.Read("networking", "telnet"); },
       "Registry::InvalidName: Invalid name: InvalidName"},
      {"not JSON", [&] { registry.WriteJson("{\"networking\":"); },
       "Registry::InvalidJson: Invalid JSON format:Invalid JSON"},
      {"beyond the limit", [&] { registry.WriteJson(R"({"s": {"a": "1", "b": "2", "c": "3", "d": "4", "e": "5"}})"); },
       "Registry::Full: Registry full"},
      // Names and values reach the bus as text without NUL; JSON can spell one.
      {"a NUL in a name", [&] { registry.WriteJson(R"({"s": {"a\u0000b": "1"}})"); },
       "Registry::InvalidJson: Invalid JSON format:Invalid JSON"},
      {"invalid UTF-8", [&] { registry.Read("networking", "caf\xc3"); },
       "Registry::InvalidEncoding: Input data not valid UTF-8"},
  };
  for (const auto& failure : failures) EXPECT_EQ(Outcome(failure.make), failure.outcome) << failure.call;
}

}  // namespace
