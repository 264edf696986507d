// The Registry client against the development service on a private bus: every operation, and
// what the caller sees of each way a call can fail.
#include <cxxabi.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
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

// Runs `argv` with its standard output on a pipe and reads the first line it prints. The pipe
// stays open, since the service prints a line per call.
pid_t Spawn(const std::vector<std::string>& argv, std::string* first_line) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], 1);
    std::vector<char*> words;
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    execvp(words[0], words.data());
    _exit(127);
  }
  close(ends[1]);
  FILE* out = fdopen(ends[0], "r");
  char line[512] = "";
  if (std::fgets(line, sizeof line, out) != nullptr) line[std::strcspn(line, "\n")] = '\0';
  *first_line = line;
  return pid;
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// A private system bus with the development Registry service on it, allowed `max_keys` keys.
class RegistryWorld {
 public:
  RegistryWorld(const std::string& json, int max_keys) {
    char folder[] = "/tmp/ttyweave-registry-XXXXXX";
    m_dir = mkdtemp(folder);
    std::ofstream(m_dir + "/store.json") << json;
    std::ofstream(m_dir + "/bus.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << m_dir
        << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>";
    std::string address, ready;
    m_bus = Spawn({"dbus-daemon", "--nofork", "--config-file=" + m_dir + "/bus.conf",
                   "--print-address=1"},
                  &address);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    m_service = Spawn({REGISTRY_SERVICE, "--store", m_dir + "/store.json", "--address", address,
                       "--max-keys", std::to_string(max_keys)},
                      &ready);
    EXPECT_EQ(ready, "ready");
  }
  ~RegistryWorld() {
    StopService();
    Stop(m_bus);
    std::system(("rm -rf " + m_dir).c_str());
  }
  void StopService() {
    if (m_service > 0) Stop(m_service);
    m_service = -1;
  }

 private:
  std::string m_dir;
  pid_t m_bus = -1;
  pid_t m_service = -1;
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
  RegistryWorld world(R"({"networking": {"telnet": "23"}, "système": {"clé": "välue"}})", 4);
  Registry& registry = *plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
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
      {"no service", [&] {
         world.StopService();
         registry.Read("networking", "telnet");
       },
       "DBus::Error org.freedesktop.DBus.Error.ServiceUnknown"},
  };
  for (const auto& failure : failures) EXPECT_EQ(Outcome(failure.make), failure.outcome) << failure.call;
}

}  // namespace
