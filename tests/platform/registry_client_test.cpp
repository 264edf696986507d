// The Registry client against real services on a private bus: the development service for the
// twelve operations, and a scripted service for the answers that one never gives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "dbus_bus.h"
#include "dbus_dispatcher.h"
#include "kernel_log.h"
#include "registry_client_impl.h"
#include "scripted_registry.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const std::string& Bus() { return PrivateBus::ProcessWide().Address(); }

// The process's client, on the process's private bus, with a dispatcher that lives as long as
// the client (as the daemon's does).
Registry& Client() {
  static EnsureDBusDispatcher* const dispatcher = new EnsureDBusDispatcher;
  (void)dispatcher;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus().c_str(), 1);
  return *plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
}

std::vector<std::string> Sections(Registry& registry) {
  std::vector<std::string> names;
  registry.SectionList([&](const std::string& name) { names.push_back(name); });
  return names;
}

Pairs Keys(Registry& registry, const std::string& section) {
  Pairs entries;
  registry.KeyList(section, [&](const std::string& key, const std::string& value) {
    entries.emplace_back(key, value);
  });
  return entries;
}

// Answers every call with the same reply.
ReplyMaker Always(std::function<DBusMessage*(DBusMessage*)> reply) { return reply; }

// The error a call leaves with, for checking its name and text.
template <typename Call>
DBus::Error ErrorOf(Call call) {
  try {
    call();
  } catch (const DBus::Error& error) {
    return error;
  }
  ADD_FAILURE() << "no DBus::Error";
  return DBus::Error();
}

std::string Name(const DBus::Error& error) { return error.name() ? error.name() : ""; }
std::string Text(const DBus::Error& error) { return error.message() ? error.message() : ""; }

// The call's first string argument, or empty.
std::string FirstArgument(DBusMessage* call) {
  const char* text = nullptr;
  if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) return "";
  return text;
}

bool Aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

}  // namespace

TEST(RegistryClient, ReadsAndQueriesWhatTheServiceHolds) {
  Registry& registry = Client();
  RegistryServiceProcess service(
      Bus(), {{"networking", {{"telnet", "23"}, {"ssh", ""}}}, {"système", {{"clé", "välue"}}}});
  EXPECT_EQ(registry.Read("networking", "telnet"), "23");
  EXPECT_EQ(registry.Read("networking", "ssh"), "");
  EXPECT_EQ(registry.Read("système", "clé"), "välue");
  EXPECT_TRUE(registry.KeyExists("networking", "telnet"));
  EXPECT_FALSE(registry.KeyExists("networking", "serial_with_telnet"));
  EXPECT_TRUE(registry.SectionExists("networking"));
  EXPECT_FALSE(registry.SectionExists("absent"));
  try {
    registry.Read("networking", "serial_with_telnet");
    ADD_FAILURE() << "a missing key was read";
  } catch (const Registry::InvalidName& error) {
    // The service's own message is not used.
    EXPECT_STREQ(error.what(), "Invalid name: InvalidName");
  }
  EXPECT_THROW(registry.Read("absent", "telnet"), Registry::InvalidName);
}

TEST(RegistryClient, WritesAndDeletionsReachTheStore) {
  Registry& registry = Client();
  RegistryServiceProcess service(Bus(), {{"networking", {{"telnet", "23"}}}});
  registry.Write("networking", "ssh", "22");
  registry.Write("networking", "telnet", "0");
  registry.Write("other", "key", "value");
  EXPECT_EQ(registry.Read("networking", "ssh"), "22");
  EXPECT_EQ(registry.Read("networking", "telnet"), "0");
  registry.Flush();
  EXPECT_EQ(service.StoreContents(),
            "{\"networking\":{\"ssh\":\"22\",\"telnet\":\"0\"},\"other\":{\"key\":\"value\"}}\n");

  registry.DeleteKey("networking", "ssh");
  EXPECT_FALSE(registry.KeyExists("networking", "ssh"));
  EXPECT_THROW(registry.DeleteKey("networking", "ssh"), Registry::InvalidName);
  registry.DeleteSection("other");
  EXPECT_FALSE(registry.SectionExists("other"));
  EXPECT_THROW(registry.DeleteSection("other"), Registry::InvalidName);
  registry.DeleteAll();
  EXPECT_TRUE(Sections(registry).empty());
  // The service ends cleanly on SIGTERM, leaving its store as the last change made it.
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_EQ(service.StoreContents(), "{}\n");
}

TEST(RegistryClient, ListsSectionsAndKeysInOrder) {
  Registry& registry = Client();
  RegistryServiceProcess service(
      Bus(), {{"zeta", {{"b", "2"}, {"a", "1"}, {"ab", "3"}}}, {"alpha", {{"x", "y"}}}});
  EXPECT_EQ(Sections(registry), (std::vector<std::string>{"alpha", "zeta"}));
  EXPECT_EQ(Keys(registry, "zeta"), (Pairs{{"a", "1"}, {"ab", "3"}, {"b", "2"}}));
  EXPECT_THROW(Keys(registry, "absent"), Registry::InvalidName);
}

TEST(RegistryClient, ExchangesTheWholeStoreAsJson) {
  Registry& registry = Client();
  RegistryServiceProcess service(Bus(), {{"networking", {{"telnet", "23"}}}});
  EXPECT_EQ(registry.ReadAllJson(), "{\"networking\":{\"telnet\":\"23\"}}");
  registry.WriteJson("{\"networking\":{\"ssh\":\"22\"},\"log\":{\"quote\":\"a\\\"b\\u00e9\"}}");
  EXPECT_EQ(registry.Read("log", "quote"), "a\"bé");
  EXPECT_EQ(registry.Read("networking", "telnet"), "23");  // kept
  EXPECT_EQ(registry.ReadAllJson(),
            "{\"log\":{\"quote\":\"a\\\"bé\"},\"networking\":{\"ssh\":\"22\",\"telnet\":\"23\"}}");
  for (const char* invalid : {"{\"networking\":", "[]", "{\"s\":{\"k\":1}}", "{\"s\":\"k\"}"}) {
    try {
      registry.WriteJson(invalid);
      ADD_FAILURE() << "accepted " << invalid;
    } catch (const Registry::InvalidJson& error) {
      EXPECT_STREQ(error.what(), "Invalid JSON format:Invalid JSON");
    }
  }
  EXPECT_EQ(Sections(registry), (std::vector<std::string>{"log", "networking"}));
}

TEST(RegistryClient, AFullStoreRefusesNewKeys) {
  Registry& registry = Client();
  RegistryServiceProcess service(Bus(), {{"networking", {{"telnet", "23"}}}}, {"--max-keys", "1"});
  registry.Write("networking", "telnet", "24");  // replacing needs no room
  try {
    registry.Write("networking", "ssh", "22");
    ADD_FAILURE() << "a key beyond the limit was written";
  } catch (const Registry::Full& error) {
    EXPECT_STREQ(error.what(), "Registry full");
  }
  EXPECT_THROW(registry.WriteJson("{\"a\":{\"b\":\"c\"}}"), Registry::Full);
  EXPECT_FALSE(registry.KeyExists("networking", "ssh"));
}

TEST(RegistryClient, CallbacksMayUseTheClientAgain) {
  Registry& registry = Client();
  RegistryServiceProcess service(Bus(), {{"a", {{"k", "1"}}}, {"b", {{"k", "2"}}}});
  std::vector<std::string> values;
  registry.SectionList(
      [&](const std::string& section) { values.push_back(registry.Read(section, "k")); });
  registry.KeyList("a", [&](const std::string& key, const std::string&) {
    values.push_back(registry.Read("b", key));
  });
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "2"}));
}

TEST(RegistryClient, ACallbackExceptionStopsTheListAndLeavesTheClientUsable) {
  Registry& registry = Client();
  RegistryServiceProcess service(Bus(), {{"a", {{"k", "1"}, {"l", "2"}}}, {"b", {{"k", "3"}}}});
  int delivered = 0;
  EXPECT_THROW(registry.SectionList([&](const std::string&) {
    ++delivered;
    throw std::logic_error("stop");
  }),
               std::logic_error);
  EXPECT_EQ(delivered, 1);
  EXPECT_THROW(registry.KeyList("a", Registry::KeyCallback()), std::bad_function_call);
  EXPECT_EQ(registry.Read("b", "k"), "3");
}

TEST(RegistryClient, InvalidUtf8IsRefusedBeforeAnythingIsSent) {
  Registry& registry = Client();
  ScriptedRegistry service(Bus(),
                           Always([](DBusMessage* call) { return StringsReply(call, {"value"}); }));
  const std::string bad = "caf\xc3";  // a sequence cut short
  EXPECT_THROW(registry.Read(bad, "key"), Registry::InvalidEncoding);
  EXPECT_THROW(registry.Read("section", bad), Registry::InvalidEncoding);
  EXPECT_THROW(registry.Read(bad, bad), Registry::InvalidEncoding);
  EXPECT_THROW(registry.Write("section", "key", "\xff"), Registry::InvalidEncoding);
  EXPECT_THROW(registry.WriteJson("\xfe"), Registry::InvalidEncoding);
  EXPECT_THROW(registry.KeyExists("s", bad), Registry::InvalidEncoding);
  EXPECT_THROW(registry.SectionExists(bad), Registry::InvalidEncoding);
  EXPECT_THROW(registry.DeleteKey(bad, "k"), Registry::InvalidEncoding);
  EXPECT_THROW(registry.DeleteSection(bad), Registry::InvalidEncoding);
  EXPECT_THROW(Keys(registry, bad), Registry::InvalidEncoding);
  try {
    registry.Read(bad, "key");
  } catch (const Registry::InvalidEncoding& error) {
    EXPECT_STREQ(error.what(), "Input data not valid UTF-8");
  }
  // Text after an embedded NUL is neither checked nor sent.
  EXPECT_EQ(registry.Read(std::string("net\0\xff", 5), "key"), "value");

  const std::vector<RecordedCall> calls = service.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].member, "Read");
  EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"net", "key"}));
}

TEST(RegistryClient, EachOperationSendsItsMemberAndArguments) {
  Registry& registry = Client();
  ScriptedRegistry service(Bus(), [](DBusMessage* call) -> DBusMessage* {
    const std::string member = dbus_message_get_member(call);
    if (member == "KeyExists" || member == "SectionExists") return BoolReply(call, true);
    if (member == "SectionList") return ArrayReply(call, {});
    if (member == "KeyList") return DictionaryReply(call, {});
    return StringsReply(call, {"text"});
  });
  EXPECT_EQ(registry.ReadAllJson(), "text");
  registry.WriteJson("{}");
  EXPECT_EQ(registry.Read("s", "k"), "text");
  registry.Write("s", "k", "v");
  EXPECT_TRUE(registry.KeyExists("s", "k"));
  EXPECT_TRUE(registry.SectionExists("s"));
  registry.DeleteKey("s", "k");
  registry.DeleteSection("s");
  registry.DeleteAll();
  EXPECT_TRUE(Sections(registry).empty());
  EXPECT_TRUE(Keys(registry, "s").empty());
  registry.Flush();

  const std::vector<RecordedCall> expected = {
      {"ReadAllJson", {}},        {"WriteJson", {"{}"}},     {"Read", {"s", "k"}},
      {"Write", {"s", "k", "v"}}, {"KeyExists", {"s", "k"}}, {"SectionExists", {"s"}},
      {"DeleteKey", {"s", "k"}},  {"DeleteSection", {"s"}},  {"DeleteAll", {}},
      {"SectionList", {}},        {"KeyList", {"s"}},        {"Flush", {}}};
  const std::vector<RecordedCall> calls = service.Calls();
  ASSERT_EQ(calls.size(), expected.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].member, expected[i].member);
    EXPECT_EQ(calls[i].arguments, expected[i].arguments) << calls[i].member;
  }
}

// The service answers each call with the error named by its first argument (calls without one
// get ".Full").
TEST(RegistryClient, TheServicesErrorNamesBecomeRegistryExceptions) {
  Registry& registry = Client();
  ScriptedRegistry service(Bus(), [](DBusMessage* call) {
    const std::string name = FirstArgument(call);
    return ErrorReply(call, name.empty() ? "com.zarnix.Registry.Errors.Full" : name.c_str(),
                      "the service's own words");
  });
  const std::string invalid_name = "com.zarnix.Registry.Errors.InvalidName";
  const std::string invalid_json = "com.zarnix.Registry.Errors.InvalidJson";
  const std::string full = "com.zarnix.Registry.Errors.Full";
  const std::vector<std::function<void(const std::string&)>> operations = {
      [&](const std::string& name) { registry.Read(name, "key"); },
      [&](const std::string& name) { registry.Write(name, "key", "value"); },
      [&](const std::string& name) { registry.WriteJson(name); },
      [&](const std::string& name) { registry.KeyExists(name, "key"); },
      [&](const std::string& name) { registry.SectionExists(name); },
      [&](const std::string& name) { registry.DeleteKey(name, "key"); },
      [&](const std::string& name) { registry.DeleteSection(name); },
      [&](const std::string& name) { Keys(registry, name); }};
  for (const auto& operation : operations) {
    try {
      operation(invalid_name);
      ADD_FAILURE() << "no exception";
    } catch (const Registry::InvalidName& error) {
      EXPECT_STREQ(error.what(), "Invalid name: InvalidName");
    }
    try {
      operation(invalid_json);
      ADD_FAILURE() << "no exception";
    } catch (const Registry::InvalidJson& error) {
      EXPECT_STREQ(error.what(), "Invalid JSON format:Invalid JSON");
    }
    EXPECT_THROW(operation(full), Registry::Full);
    // Any other name, even one that merely begins like the service's, arrives unchanged.
    for (const std::string other : {"com.example.Odd", "com.zarnix.Registry.Errors.InvalidNameX"}) {
      const DBus::Error error = ErrorOf([&] { operation(other); });
      EXPECT_EQ(Name(error), other);
      EXPECT_EQ(Text(error), "the service's own words");
    }
  }
  EXPECT_THROW(registry.ReadAllJson(), Registry::Full);
  EXPECT_THROW(registry.DeleteAll(), Registry::Full);
  EXPECT_THROW(registry.Flush(), Registry::Full);
  int delivered = 0;
  EXPECT_THROW(registry.SectionList([&](const std::string&) { ++delivered; }), Registry::Full);
  EXPECT_EQ(delivered, 0);
}

TEST(RegistryClient, ValueRepliesAreDecodedFromTheirFirstArgument) {
  Registry& registry = Client();
  ScriptedRegistry service(Bus(), [](DBusMessage* call) -> DBusMessage* {
    const std::string shape = FirstArgument(call);
    if (shape == "two strings") return StringsReply(call, {"first", "second"});
    if (shape == "bool") return BoolReply(call, false);
    if (shape == "number") return Int32Reply(call, 7);
    return StringsReply(call, {});
  });
  EXPECT_EQ(registry.Read("two strings", "k"), "first");
  EXPECT_FALSE(registry.KeyExists("bool", "k"));
  EXPECT_FALSE(registry.SectionExists("bool"));
  // A missing or mistyped result is the library's error, unchanged.
  EXPECT_FALSE(Name(ErrorOf([&] { registry.Read("number", "k"); })).empty());
  EXPECT_FALSE(Name(ErrorOf([&] { registry.Read("nothing", "k"); })).empty());
  EXPECT_FALSE(Name(ErrorOf([&] { registry.KeyExists("two strings", "k"); })).empty());
  EXPECT_FALSE(Name(ErrorOf([&] { registry.ReadAllJson(); })).empty());
  // Operations without a result take any reply that is no error.
  registry.Write("number", "k", "v");
  registry.WriteJson("two strings");
  registry.DeleteKey("bool", "k");
  registry.DeleteSection("number");
  registry.DeleteAll();
  registry.Flush();
}

TEST(RegistryClient, SectionListDeliversTheReplysArrayAsItIs) {
  Registry& registry = Client();
  int replies = 0;
  ScriptedRegistry service(Bus(), [&replies](DBusMessage* call) -> DBusMessage* {
    switch (replies++) {
      case 0:
        return ArrayReply(call, {"b", "a", "b"});
      case 1:
        return ArrayReply(call, {});
      case 2:
        return StringsReply(call, {"a"});
      default:
        return DictionaryReply(call, {{"a", "1"}});
    }
  });
  EXPECT_EQ(Sections(registry), (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_TRUE(Sections(registry).empty());
  int delivered = 0;
  const DBus::Error not_array =
      ErrorOf([&] { registry.SectionList([&](const std::string&) { ++delivered; }); });
  EXPECT_EQ(Name(not_array), "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(Text(not_array), "array expected");
  // An array of the wrong elements fails while decoding, before any delivery.
  EXPECT_FALSE(Name(ErrorOf([&] {
                 registry.SectionList([&](const std::string&) { ++delivered; });
               })).empty());
  EXPECT_EQ(delivered, 0);
}

TEST(RegistryClient, KeyListDeliversEachKeyOnceInAscendingOrderWithItsLastValue) {
  Registry& registry = Client();
  int replies = 0;
  ScriptedRegistry service(Bus(), [&replies](DBusMessage* call) -> DBusMessage* {
    switch (replies++) {
      case 0:
        return DictionaryReply(call, {{"b", "1"}, {"ab", "2"}, {"a", "3"}, {"b", "4"}, {"", "5"}});
      case 1:
        return DictionaryReply(call, {});
      case 2:
        return ArrayReply(call, {"a", "b"});
      default:
        return StringsReply(call, {"a"});
    }
  });
  EXPECT_EQ(Keys(registry, "s"), (Pairs{{"", "5"}, {"a", "3"}, {"ab", "2"}, {"b", "4"}}));
  EXPECT_TRUE(Keys(registry, "s").empty());
  int delivered = 0;
  const auto count = [&](const std::string&, const std::string&) { ++delivered; };
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DBus::Error error = ErrorOf([&] { registry.KeyList("s", count); });
    EXPECT_EQ(Name(error), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(Text(error), "dictionary value expected");
  }
  EXPECT_EQ(delivered, 0);
}

TEST(RegistryClient, GetInstanceGivesTheSamePointerEveryTime) {
  Registry* first = &Client();
  EXPECT_EQ(plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance(), first);
  EXPECT_EQ(plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance(), first);
}

// Without any bus the client cannot be built: GetInstance throws, and tries again later, here
// once a bus listens where the address points. Runs in a fresh process, without a client yet.
TEST(RegistryClient, WithoutABusGetInstanceThrowsAndALaterCallTriesAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto body = [] {
    {
      const std::string dir = "/tmp/ttyweave-late-bus-" + std::to_string(getpid());
      const std::string socket = dir + "/system_bus_socket";
      mkdir(dir.c_str(), 0700);
      setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
      EnsureDBusDispatcher dispatcher;
      try {
        plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
        std::fprintf(stderr, "built\n");
      } catch (const DBus::Error& error) {
        std::fprintf(stderr, "threw %s\n", error.name());
      }
      PrivateBus late(socket);
      try {
        Registry* registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
        std::fprintf(stderr, "built %s\n", registry != nullptr ? "an instance" : "nothing");
      } catch (const DBus::Error& error) {
        std::fprintf(stderr, "threw again %s\n", error.what());
      }
      late.Stop();
      rmdir(dir.c_str());
    }
    _exit(0);
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(0),
              "^threw org\\.freedesktop\\.DBus\\.Error\\.FileNotFound\nbuilt an instance\n$");
}

// Losing the bus fails the calls, not the process. Runs in a fresh process, without a client
// yet.
TEST(RegistryClient, ALostBusFailsCallsWithoutEndingTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto body = [] {
    {
      PrivateBus bus;
      setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);
      EnsureDBusDispatcher dispatcher;
      Registry* registry = plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance();
      try {
        registry->Read("networking", "telnet");
      } catch (const DBus::Error& error) {
        std::fprintf(stderr, "%s\n", error.name());
      }
      bus.Stop();
      for (int attempt = 0; attempt < 2; ++attempt) {
        try {
          registry->Read("networking", "telnet");
        } catch (const DBus::Error& error) {
          std::fprintf(stderr, "failed\n");
        }
      }
    }
    _exit(0);
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(0),
              "^org\\.freedesktop\\.DBus\\.Error\\.ServiceUnknown\nfailed\nfailed\n$");
}

TEST(RegistryClient, DestroyingTheClientIsReportedAsABrokenInvariant) {
  const std::string address = Bus();
  const ChildResult child = RunInChild([&] {
    if (!HideKernelLogForWriting()) _exit(3);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    EnsureDBusDispatcher dispatcher;
    delete static_cast<Registry*>(plinth::AutoCreateSingleton<RegistryClientImpl>::GetInstance());
  });
  EXPECT_TRUE(Aborted(child.status)) << "wait status " << child.status;
  EXPECT_EQ(child.err,
            "\r\nASSERT FAILED: false\r\nlib/platform/singleton:124:"
            "plinth::AutoCreateSingleton<T>::~AutoCreateSingleton() [with T = RegistryClientImpl]"
            "\r\n\r\n");
}
