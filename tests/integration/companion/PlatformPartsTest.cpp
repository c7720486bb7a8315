// The companion's Linux platform parts on their own: the control-socket client, alerts,
// the appearance, the desktop entry and the safari-host registration.

#include <adwaita.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "ipc/Paths.h"
#include "platform/linux/gtk/AdwAlert.h"
#include "platform/linux/gtk/AdwAppearance.h"
#include "platform/linux/safari/EnabledStore.h"
#include "platform/linux/safari/IpcSafariExtensionManager.h"
#include "platform/linux/safari/SafariHostRegistration.h"
#include "platform/linux/system/DesktopEntry.h"
#include "platform/linux/system/GlibMainQueue.h"
#include "tests/support/MainLoop.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 10s;

// One answer of the browser, as the completion saw it.
struct StateAnswer {
  std::optional<SafariExtensionState> state;
  std::optional<SafariError> error;
  bool onCallersStack = false;  // ran inside the call, on the calling thread
};

class IpcSafariExtensionManagerTest : public ::testing::Test {
 protected:
  IpcSafariExtensionManagerTest()
      : mainQueue(std::make_shared<GlibMainQueue>()),
        socket(dir.path() + "/safari-host-1000/control.sock"),
        manager(socket.listening() ? dir.path() + "/safari-host-1000/control.sock" : "", mainQueue,
                {}, 2s) {
    socket.answer("extensions.dispatchMessage", Json::object());
    socket.answer("extensions.showPreferences", Json::object());
  }

  StateAnswer getState(IpcSafariExtensionManager& client) {
    auto answer = std::make_shared<std::optional<StateAnswer>>();
    auto returned = std::make_shared<std::atomic<bool>>(false);
    const std::thread::id caller = std::this_thread::get_id();
    // Answers arrive on the connection's thread; the test reads them on this one.
    client.getStateOfSafariExtension(
        "com.quorvane.safari.ext",
        [answer, returned, caller, queue = mainQueue](auto state, auto error) {
          StateAnswer seen{state, error, !*returned && std::this_thread::get_id() == caller};
          queue->async([answer, seen] { *answer = seen; });
        });
    *returned = true;
    EXPECT_TRUE(runUntil([&] { return answer->has_value(); }, deadline));
    return answer->value_or(StateAnswer{});
  }

  std::optional<SafariError> dispatch(const std::optional<Json>& userInfo) {
    return dispatch(manager, userInfo);
  }
  std::optional<SafariError> dispatch(IpcSafariExtensionManager& client,
                                      const std::optional<Json>& userInfo) {
    auto answer = std::make_shared<std::optional<std::optional<SafariError>>>();
    client.dispatchMessage("openSafari", "com.quorvane.safari.ext", userInfo,
                            [answer, queue = mainQueue](std::optional<SafariError> error) {
                              queue->async([answer, error] { *answer = error; });
                            });
    EXPECT_TRUE(runUntil([&] { return answer->has_value(); }, deadline));
    return answer->value_or(SafariError{"no answer"});
  }

  TempDir dir;
  std::shared_ptr<GlibMainQueue> mainQueue;
  ScriptedPeer socket;
  IpcSafariExtensionManager manager;
};

TEST_F(IpcSafariExtensionManagerTest, readsTheStateAndPassesErrorsThrough) {
  ASSERT_TRUE(socket.listening());
  socket.answer("extensions.getState", {{"isEnabled", true}});
  StateAnswer enabled = getState(manager);
  EXPECT_EQ(enabled.state, SafariExtensionState{true});
  EXPECT_FALSE(enabled.error);
  EXPECT_FALSE(enabled.onCallersStack);
  auto call = socket.callsOf("extensions.getState").at(0);
  EXPECT_EQ(call.args, (Json{{"extensionIdentifier", "com.quorvane.safari.ext"}}));

  socket.answer("extensions.getState", {{"isEnabled", false}});
  EXPECT_EQ(getState(manager).state, SafariExtensionState{false});

  socket.fail("extensions.getState", "unknown extension");
  StateAnswer refused = getState(manager);
  EXPECT_FALSE(refused.state);
  EXPECT_EQ(refused.error, SafariError{"unknown extension"});

  // An answer of the wrong shape is neither a state nor an error: the "nil result".
  socket.answer("extensions.getState", {{"isEnabled", "yes"}});
  StateAnswer odd = getState(manager);
  EXPECT_FALSE(odd.state);
  EXPECT_FALSE(odd.error);
}

TEST_F(IpcSafariExtensionManagerTest, sendsMessagesAndPreferenceRequestsAsTheProtocolSays) {
  ASSERT_TRUE(socket.listening());
  EXPECT_FALSE(dispatch(Json{{"code", "A"}, {"codeChallenge", nullptr}}));
  EXPECT_FALSE(dispatch(std::nullopt));
  auto calls = socket.callsOf("extensions.dispatchMessage");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args, (Json{{"extensionIdentifier", "com.quorvane.safari.ext"},
                                 {"name", "openSafari"},
                                 {"userInfo", {{"code", "A"}, {"codeChallenge", nullptr}}}}));
  EXPECT_TRUE(calls[1].args.at("userInfo").is_null());

  auto shown = std::make_shared<std::optional<std::optional<SafariError>>>();
  manager.showPreferencesForExtension("com.quorvane.safari.ext",
                                      [shown, queue = mainQueue](std::optional<SafariError> error) {
                                        queue->async([shown, error] { *shown = error; });
                                      });
  ASSERT_TRUE(runUntil([&] { return shown->has_value(); }, deadline));
  EXPECT_FALSE(**shown);
  EXPECT_EQ(socket.callsOf("extensions.showPreferences").at(0).args,
            (Json{{"extensionIdentifier", "com.quorvane.safari.ext"}}));
}

TEST_F(IpcSafariExtensionManagerTest, callsShareOneConnectionAndFindARestartedBrowserAgain) {
  ASSERT_TRUE(socket.listening());
  socket.answer("extensions.getState", {{"isEnabled", true}});
  ASSERT_EQ(getState(manager).state, SafariExtensionState{true});
  std::shared_ptr<ipc::Connection> first = socket.connection();
  ASSERT_TRUE(first);
  EXPECT_FALSE(dispatch(std::nullopt));
  EXPECT_EQ(getState(manager).state, SafariExtensionState{true});
  EXPECT_EQ(socket.connection(), first) << "a poll must not open a connection per call";

  // The browser hangs up (it quit and came back): the next calls still get their answers.
  socket.close();
  for (int call = 0; call < 3; ++call) {
    StateAnswer again = getState(manager);
    EXPECT_EQ(again.state, SafariExtensionState{true}) << call;
    EXPECT_FALSE(again.error) << call;
  }
  EXPECT_NE(socket.connection(), first);
  EXPECT_EQ(socket.callsOf("extensions.getState").size(), 5u);
}

TEST_F(IpcSafariExtensionManagerTest, aSilentBrowserStillGetsAnAnswer) {
  ASSERT_TRUE(socket.listening());
  socket.ignore("extensions.getState");
  IpcSafariExtensionManager impatient(dir.path() + "/safari-host-1000/control.sock", mainQueue,
                                      {}, 300ms);
  StateAnswer late = getState(impatient);
  EXPECT_EQ(late.error, SafariError{"Safari did not answer"});
}

TEST_F(IpcSafariExtensionManagerTest, withTheBrowserClosedTheStateComesFromTheStoredChoices) {
  const std::string choices = dir.path() + "/config/extensions.json";
  int starts = 0;
  IpcSafariExtensionManager closed(dir.path() + "/nobody/control.sock", mainQueue,
                                   {choices, "/apps/Q.app", [&] { return ++starts, true; }});
  StateAnswer none = getState(closed);
  EXPECT_EQ(none.state, SafariExtensionState{false}) << "nothing stored: disabled";
  EXPECT_FALSE(none.error);
  EXPECT_FALSE(none.onCallersStack) << "completions never run on the caller's stack";

  // The file safari-host keeps, written as it writes it.
  ASSERT_TRUE(safarihost::EnabledStore(choices).setEnabled("com.quorvane.safari.ext",
                                                           "/apps/Q.app", true));
  EXPECT_EQ(getState(closed).state, SafariExtensionState{true});
  IpcSafariExtensionManager otherBundle(dir.path() + "/nobody/control.sock", mainQueue,
                                        {choices, "/elsewhere/Q.app", {}});
  EXPECT_EQ(getState(otherBundle).state, SafariExtensionState{false})
      << "a choice holds for the bundle it was made for";
  EXPECT_EQ(starts, 0) << "asking for the state never starts the browser";
}

TEST_F(IpcSafariExtensionManagerTest, messagesStartAClosedBrowserAndWaitForItsSocket) {
  const std::string path = dir.path() + "/later/safari-host-1000/control.sock";
  std::optional<ScriptedPeer> browser;
  int starts = 0;
  IpcSafariExtensionManager::BrowserAbsent absent{dir.path() + "/extensions.json", "/apps/Q.app",
                                                  [&] {
                                                    ++starts;
                                                    // The browser takes a while to listen.
                                                    mainQueue->asyncAfter(400ms, [&] {
                                                      browser.emplace(path);
                                                      browser->answer("extensions.dispatchMessage",
                                                                      Json::object());
                                                    });
                                                    return true;
                                                  }};
  IpcSafariExtensionManager client(path, mainQueue, absent);
  // Two messages while it starts: one start, and both arrive.
  auto second = std::make_shared<std::optional<std::optional<SafariError>>>();
  client.dispatchMessage("second", "com.quorvane.safari.ext", std::nullopt,
                         [second, queue = mainQueue](std::optional<SafariError> error) {
                           queue->async([second, error] { *second = error; });
                         });
  EXPECT_FALSE(dispatch(client, std::nullopt));
  ASSERT_TRUE(runUntil([&] { return second->has_value(); }, deadline));
  EXPECT_FALSE(**second);
  EXPECT_EQ(starts, 1);
  ASSERT_TRUE(browser);
  EXPECT_EQ(browser->callsOf("extensions.dispatchMessage").size(), 2u);
  // It closes at once: the next message starts it again.
  browser.reset();
  EXPECT_FALSE(dispatch(client, std::nullopt));
  EXPECT_EQ(starts, 2);

  // A browser that cannot be started, or starts but never listens: "not running".
  IpcSafariExtensionManager unstartable(dir.path() + "/nobody/control.sock", mainQueue,
                                        {"", "/apps/Q.app", [] { return false; }});
  EXPECT_EQ(dispatch(unstartable, std::nullopt), SafariError{"Safari is not running"});
  IpcSafariExtensionManager deaf(dir.path() + "/nobody/control.sock", mainQueue,
                                 {"", "/apps/Q.app", [] { return true; }, 500ms});
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(dispatch(deaf, std::nullopt), SafariError{"Safari is not running"});
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 500ms) << "it waited for the socket";
}

class GtkPartsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { adw_init(); }
};

TEST_F(GtkPartsTest, aCriticalAlertIsAMessageDialogWithADestructiveButton) {
  AdwAlert alert(nullptr);
  alert.runModal(
      AlertMessage{"Could not open Safari", "Safari is not running", AlertStyle::critical, {"OK"}});
  AdwMessageDialog* dialog = nullptr;
  ASSERT_TRUE(runUntil(
      [&] {
        GListModel* toplevels = gtk_window_get_toplevels();
        for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
          GObject* window = static_cast<GObject*>(g_list_model_get_item(toplevels, i));
          if (ADW_IS_MESSAGE_DIALOG(window)) dialog = ADW_MESSAGE_DIALOG(window);
          g_object_unref(window);
        }
        return dialog != nullptr;
      },
      deadline));
  EXPECT_STREQ(adw_message_dialog_get_heading(dialog), "Could not open Safari");
  EXPECT_STREQ(adw_message_dialog_get_body(dialog), "Safari is not running");
  EXPECT_TRUE(adw_message_dialog_has_response(dialog, "button0"));
  EXPECT_STREQ(adw_message_dialog_get_response_label(dialog, "button0"), "OK");
  EXPECT_EQ(adw_message_dialog_get_response_appearance(dialog, "button0"),
            ADW_RESPONSE_DESTRUCTIVE);
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
  gtk_window_destroy(GTK_WINDOW(dialog));
}

TEST_F(GtkPartsTest, theAppearanceFollowsTheStyleManagerUntilTheObservationEnds) {
  AdwStyleManager* manager = adw_style_manager_get_default();
  adw_style_manager_set_color_scheme(manager, ADW_COLOR_SCHEME_FORCE_LIGHT);
  AdwAppearance appearance;
  EXPECT_FALSE(appearance.isDark());
  int changes = 0;
  auto observation = appearance.observeChanges([&] { ++changes; });

  adw_style_manager_set_color_scheme(manager, ADW_COLOR_SCHEME_FORCE_DARK);
  EXPECT_TRUE(runUntil([&] { return changes == 1; }, deadline));
  EXPECT_TRUE(appearance.isDark());

  observation.reset();
  adw_style_manager_set_color_scheme(manager, ADW_COLOR_SCHEME_FORCE_LIGHT);
  runUntil([] { return false; }, 100ms);  // let any stray notification arrive
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(appearance.isDark());
}

TEST(DesktopEntryTest, theExecLineStartsThisExecutableWithTheUrl) {
  std::string entry =
      "[Desktop Entry]\nName=Q\nExec=old %u\nExec=older\nMimeType=x-scheme-handler/q;\n"
      "[Desktop Action new]\nExec=keep\n";
  auto rewritten = desktop::withExecutable(entry, "/opt/Q App/Contents/MacOS/Q$1");
  ASSERT_TRUE(rewritten);
  EXPECT_EQ(*rewritten,
            "[Desktop Entry]\nName=Q\nExec=\"/opt/Q App/Contents/MacOS/Q\\\\$1\" %u\n"
            "MimeType=x-scheme-handler/q;\n[Desktop Action new]\nExec=keep\n");
  // An entry without its own Exec line gets one; text that is no entry gets none.
  EXPECT_EQ(desktop::withExecutable("[Desktop Entry]\nName=Q\n", "/q"),
            "[Desktop Entry]\nName=Q\nExec=\"/q\" %u\n");
  EXPECT_FALSE(desktop::withExecutable("Name=Q\n", "/q"));
  // Lines GLib reads as the group and its Exec key, however they are spaced, are too
  // (a stray one would otherwise win over ours: the last Exec the desktop reads counts).
  EXPECT_EQ(desktop::withExecutable(
                "  [Desktop Entry] \t\r\nExec\r=old\n\tExec =older\nExec[de]=keep\n", "/q"),
            "  [Desktop Entry] \t\r\nExec=\"/q\" %u\nExec[de]=keep\n");
}

// Reads the Exec line back the way GLib's launcher does: key-file unescaping, "%%" to "%",
// then shell-style word splitting. The first word must be the executable, byte for byte.
TEST(DesktopEntryTest, anyExecutablePathSurvivesTheDesktopsOwnParsing) {
  for (const std::string path : {"/opt/100% sure/q", "/tmp/new\nline/q", "/tmp/tab\there/q",
                                 "/tmp/\"quoted\" `tick` $HOME\\/q", "/tmp/%u %f/q"}) {
    auto entry = desktop::withExecutable("[Desktop Entry]\nName=Q\n", path);
    ASSERT_TRUE(entry) << path;
    g_autoptr(GKeyFile) keys = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_key_file_load_from_data(keys, entry->c_str(), entry->size(), G_KEY_FILE_NONE,
                                          &error))
        << path << ": " << (error ? error->message : "") << "\n" << *entry;
    g_autofree char* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", &error);
    ASSERT_TRUE(exec) << *entry;
    std::string expanded;
    for (const char* c = exec; *c != '\0'; ++c) {
      if (*c == '%' && c[1] == '%') {
        expanded += '%';
        ++c;
      } else if (*c == '%' && c[1] == 'u') {
        expanded += "URL";
        ++c;
      } else {
        ASSERT_NE(*c, '%') << "a lone field code in " << exec;
        expanded += *c;
      }
    }
    int argc = 0;
    g_auto(GStrv) argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(expanded.c_str(), &argc, &argv, &error)) << exec;
    ASSERT_EQ(argc, 2) << exec;
    EXPECT_EQ(argv[0], path);
    EXPECT_STREQ(argv[1], "URL");
  }
}

TEST(DesktopEntryTest, installsUnderTheApplicationIdOnly) {
  TempDir data;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  ASSERT_TRUE(desktop::install("com.quorvane.safari", "[Desktop Entry]\nName=Q\n"));
  EXPECT_EQ(fileContents(data.path() + "/applications/com.quorvane.safari.desktop"),
            "[Desktop Entry]\nName=Q\n");
  EXPECT_FALSE(desktop::install("../escape", "x"));
  EXPECT_FALSE(std::filesystem::exists(data.path() + "/escape.desktop"));
}

TEST(SafariHostPathsTest, followTheXdgFoldersAndWriteTheRegistrationWhole) {
  TempDir data;
  TempDir runtime;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.path());
  EXPECT_EQ(ipc::controlSocketPath(),
            runtime.path() + "/safari-host-" + std::to_string(::getuid()) + "/control.sock");

  ASSERT_TRUE(safarihost::writeRegistration("com.quorvane.safari", "/apps/Q \"1\".app"));
  std::string path = data.path() + "/safari-host/apps/com.quorvane.safari.json";
  EXPECT_EQ(Json::parse(fileContents(path)), (Json{{"bundlePath", "/apps/Q \"1\".app"}}));
  // Written again at the next launch, replacing the old file; no temporary is left.
  ASSERT_TRUE(safarihost::writeRegistration("com.quorvane.safari", "/elsewhere.app"));
  EXPECT_EQ(Json::parse(fileContents(path)), (Json{{"bundlePath", "/elsewhere.app"}}));
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(data.path() + "/safari-host/apps")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
  EXPECT_FALSE(safarihost::writeRegistration("a/b", "/x.app"));
}

}  // namespace
}  // namespace qv::test
