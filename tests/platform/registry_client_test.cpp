// The Registry client against the development service on a private bus: every operation, and
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

// The first `count` lines a shell command prints. Its output stays open: the development service
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

// A private system bus, then the development Registry service on it, allowed `max_keys` keys.
class RegistryWorld {
 public:
  RegistryWorld() {
    char folder[] = "/tmp/ttyweave-registry-XXXXXX";
    m_dir = mkdtemp(folder);
    std::ofstream(m_dir + "/bus.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << m_dir
        << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>";
    const auto bus = Lines("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" +
                               m_dir + "/bus.conf 2>/dev/null",
                           2);
    m_address = bus[0];
    m_bus = std::atoi(bus[1].c_str());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
  }
  ~RegistryWorld() {
    for (pid_t pid : {m_service, m_bus})
      if (pid > 0) kill(pid, SIGTERM);
    std::system(("rm -rf " + m_dir).c_str());
  }
  void StartService(const std::string& json, int max_keys) {
    std::ofstream(m_dir + "/store.json") << json;
    const auto service = Lines("echo $$; exec " REGISTRY_SERVICE " --store " + m_dir +
                                   "/store.json --address " + m_address + " --max-keys " +
                                   std::to_string(max_keys),
                               2);
    m_service = std::atoi(service[0].c_str());
    EXPECT_EQ(service[1], "ready");
  }

 private:
  std::string m_dir, m_address;
  pid_t m_bus = -1, m_service = -1;
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
  RegistryWorld world;
  Registry& registry = *plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
  // Any error the client does not know of reaches the caller as it came.
  EXPECT_EQ(Outcome([&] { registry.Read("networking", "telnet"); }),
            "DBus::Error org.freedesktop.DBus.Error.ServiceUnknown");
  world.StartService(R"({"networking": {"telnet": "23"}, "système": {"clé": "välue"}})", 4);
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
      {"invalid UTF-8", [&] { registry.Read("networking", "caf\xc3"); },
       "Registry::InvalidEncoding: Input data not valid UTF-8"},
  };
  for (const auto& failure : failures) EXPECT_EQ(Outcome(failure.make), failure.outcome) << failure.call;
}

}  // namespace
