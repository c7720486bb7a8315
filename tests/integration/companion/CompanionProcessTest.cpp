// The companion executable as the system starts it: a first launch that polls the
// browser, a second launch with the sign-in callback URL that hands it to the first one
// over D-Bus, and quitting through the application's own action. safari-host's control
// socket is played by the test.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/linux/store/SqliteUserDefaults.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* companion = QV_COMPANION_EXECUTABLE;
constexpr const char* appDir = QV_APP_DIR;
constexpr const char* extensionId = "com.quorvane.safari.ext";
constexpr const char* suite = "K4ZT7P2QN8.group.com.quorvane.safari.extension";
constexpr auto deadline = 30s;

class CompanionProcessTest : public ::testing::Test {
 protected:
  CompanionProcessTest()
      : runtimeDir("XDG_RUNTIME_DIR", runtime.path()),
        busAddress("DBUS_SESSION_BUS_ADDRESS", bus.address()),
        noAccessibility("GTK_A11Y", "none"),
        noAtBridge("NO_AT_BRIDGE", "1"),
        memorySettings("GSETTINGS_BACKEND", "memory"),
        socket(runtime.path() + "/safari-host-" + std::to_string(::getuid()) + "/control.sock") {}

  void SetUp() override {
    ASSERT_FALSE(bus.address().empty()) << "no private D-Bus session";
    ASSERT_TRUE(socket.listening());
    // The browser's answers until a test says otherwise: the extension is off.
    socket.answer("extensions.getState", {{"isEnabled", false}});
    socket.answer("extensions.dispatchMessage", Json::object());
    socket.answer("extensions.showPreferences", Json::object());
  }

  static std::optional<ChildProcess> launch(const std::vector<std::string>& argv) {
    std::string error;
    std::optional<ChildProcess> child = ChildProcess::start(argv, {}, &error);
    EXPECT_TRUE(child) << error;
    return child;
  }

  std::optional<std::string> sharedValue(const std::string& key) const {
    auto store = SqliteUserDefaults::open(homes.config.path() + "/group-containers/" + suite +
                                          "/defaults.sqlite3");
    if (!store) return std::nullopt;
    auto bytes = store->data(key);
    if (!bytes) return std::nullopt;
    return toString(*bytes);
  }

  // Asks the running instance to quit through its "app.quit" action (Ctrl+Q).
  bool activateQuit() const {
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        bus.address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!connection) {
      g_clear_error(&error);
      return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "com.quorvane.safari", "/com/quorvane/safari", "org.gtk.Actions", "Activate",
        g_variant_new("(sava{sv})", "quit", nullptr, nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE,
        10000, nullptr, &error);
    bool ok = reply != nullptr;
    if (reply) g_variant_unref(reply);
    g_clear_error(&error);
    g_object_unref(connection);
    return ok;
  }

  static bool isForExtension(const Json& args) {
    return args.value("extensionIdentifier", "") == extensionId;
  }

  TempDir runtime;
  PrivateSessionBus bus;
  PrivateXdgHomes homes;
  ScopedEnv runtimeDir;
  ScopedEnv busAddress;
  ScopedEnv noAccessibility;
  ScopedEnv noAtBridge;
  ScopedEnv memorySettings;
  ScriptedPeer socket;
};

TEST_F(CompanionProcessTest, aSecondLaunchHandsTheCallbackToTheRunningInstance) {
  auto first = launch({companion});
  ASSERT_TRUE(first);
  ASSERT_TRUE(socket.waitForCall("extensions.getState", isForExtension, deadline))
      << "the first instance never asked for the extension's state";
  EXPECT_EQ(
      Json::parse(fileContents(homes.data.path() + "/safari-host/apps/com.quorvane.safari.json")),
      (Json{{"bundlePath", appDir}}));

  auto second = launch({companion, "quorvane.extension://oauth?code=A&code_challenge=B"});
  ASSERT_TRUE(second);
  EXPECT_EQ(exitCode(second->waitForExit(deadline)), 0)
      << "the second launch should hand over and end";

  auto exchange = socket.waitForCall(
      "extensions.dispatchMessage",
      [](const Json& args) { return args.value("name", "") == "oauthExchange"; }, deadline);
  ASSERT_TRUE(exchange);
  EXPECT_EQ(exchange->args["extensionIdentifier"], extensionId);
  EXPECT_EQ(exchange->args["userInfo"], (Json{{"code", "A"}, {"codeChallenge", "B"}}));
  EXPECT_EQ(sharedValue("message.oauthExchangeMessage"), R"([{"code":"A","codeChallenge":"B"}])");
  EXPECT_TRUE(first->running()) << "the running instance stays";

  ASSERT_TRUE(activateQuit());
  EXPECT_EQ(exitCode(first->waitForExit(deadline)), 0);
}

TEST_F(CompanionProcessTest, theFirstSightOfTheEnabledExtensionAsksForTheLoginTabOnce) {
  socket.answer("extensions.getState", {{"isEnabled", true}});
  auto app = launch({companion});
  ASSERT_TRUE(app);
  auto isLoginTab = [](const Json& args) { return args.value("name", "") == "oauthOpenLoginTab"; };
  auto request = socket.waitForCall("extensions.dispatchMessage", isLoginTab, deadline);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->args["extensionIdentifier"], extensionId);
  EXPECT_TRUE(request->args["userInfo"].is_null());
  EXPECT_EQ(sharedValue("message.oauthOpenLoginTabMessage"), "[true]");

  // Three more answers later, still only the one request.
  std::size_t polls = socket.callsOf("extensions.getState").size();
  ASSERT_TRUE(waitUntil([&] { return socket.callsOf("extensions.getState").size() >= polls + 3; },
                        deadline));
  std::size_t loginTabs = 0;
  for (const auto& call : socket.callsOf("extensions.dispatchMessage"))
    loginTabs += isLoginTab(call.args);
  EXPECT_EQ(loginTabs, 1u);
}

TEST_F(CompanionProcessTest, aCallbackWithoutSafariStillLeavesTheCodeForTheExtension) {
  // Safari refuses the message; the value is written regardless, before the message.
  socket.fail("extensions.dispatchMessage", "extension is disabled");
  auto app = launch({companion, "quorvane.extension://oauth?code=C1&code_challenge=D1"});
  ASSERT_TRUE(app);
  ASSERT_TRUE(socket.waitForCall("extensions.dispatchMessage", nullptr, deadline));
  EXPECT_EQ(sharedValue("message.oauthExchangeMessage"), R"([{"code":"C1","codeChallenge":"D1"}])");
  EXPECT_TRUE(app->running()) << "a refusal is shown, not fatal";
}

}  // namespace
}  // namespace qv::test
