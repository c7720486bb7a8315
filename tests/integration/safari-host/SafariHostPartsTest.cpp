// safari-host's parts that decide safety and correctness on their own: what the
// address bar loads, the content-script API run in a real JavaScript engine, how
// bundles and stored choices are read, and which certificates count as development ones.

#include <adwaita.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <jsc/jsc.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ipc/Frame.h"
#include "safari-host/AddressText.h"
#include "safari-host/ContentScriptApi.h"
#include "safari-host/DevCertificateTrust.h"
#include "safari-host/DevelopMenu.h"
#include "platform/linux/safari/EnabledStore.h"
#include "safari-host/ExtensionInfo.h"
#include "safari-host/ExtensionRegistry.h"
#include "safari-host/PreferencesWindow.h"
#include "safari-host/RestartBackoff.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempDir.h"

namespace qv::host {
namespace {

using safarihost::EnabledStore;
using test::TempDir;

TEST(SafariHostAddressText, KeepsSchemesAndGivesBareHostsOne) {
  EXPECT_EQ(urlFromAddressText("example.com/path?q=1"), "https://example.com/path?q=1");
  EXPECT_EQ(urlFromAddressText("  https://example.com/  "), "https://example.com/");
  EXPECT_EQ(urlFromAddressText("HTTP://Example.com"), "HTTP://Example.com");
  EXPECT_EQ(urlFromAddressText("localhost:3000/x"), "http://localhost:3000/x");
  EXPECT_EQ(urlFromAddressText("127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(urlFromAddressText("[::1]:8080/"), "http://[::1]:8080/");
  EXPECT_EQ(urlFromAddressText("about:blank"), "about:blank");
  EXPECT_EQ(urlFromAddressText("quorvane.extension://oauth?code=1"),
            "quorvane.extension://oauth?code=1");
  EXPECT_EQ(urlFromAddressText(""), std::nullopt);
  EXPECT_EQ(urlFromAddressText("   "), std::nullopt);
  EXPECT_EQ(urlFromAddressText("two words"), std::nullopt);
  EXPECT_EQ(urlFromAddressText("bad\x01host"), std::nullopt);
}

// The API script and delivery scripts, run in JavaScriptCore with a stand-in message
// channel that records what is posted.
class SafariHostContentScriptApi : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = jsc_context_new();
    std::string channel = messageHandlerName("com.example.ext");
    run("var window = globalThis; var posted = []; window.webkit = {messageHandlers: {" +
        javaScriptLiteral(Json(channel)).value() + ": {postMessage(m) { posted.push(m); }}}};");
    run(contentScriptApiSource(channel));
  }
  void TearDown() override { g_object_unref(context_); }

  // The script's value as JSON; "exception: …" when it threw.
  std::string run(const std::string& script) {
    JSCValue* value = jsc_context_evaluate(context_, script.c_str(), -1);
    std::string result;
    if (JSCException* exception = jsc_context_get_exception(context_)) {
      result = std::string("exception: ") + jsc_exception_get_message(exception);
      jsc_context_clear_exception(context_);
    } else if (jsc_value_is_undefined(value)) {
      result = "undefined";
    } else {
      char* json = jsc_value_to_json(value, 0);
      result = json != nullptr ? json : "null";
      g_free(json);
    }
    g_object_unref(value);
    return result;
  }

  // The n-th posted body, as the browser parses it.
  std::optional<PostedMessage> posted(int index) {
    return parsePostedMessage(run("posted[" + std::to_string(index) + "]"));
  }

  JSCContext* context_ = nullptr;
};

TEST_F(SafariHostContentScriptApi, DispatchPostsNameAndUserInfoAndRefusesOtherTypes) {
  EXPECT_EQ(run("safari.extension.dispatchMessage('first', {a: [1, 'x'], b: {c: null}})"),
            "undefined");
  EXPECT_EQ(run("safari.extension.dispatchMessage('second')"), "undefined");
  std::optional<PostedMessage> first = posted(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "first");
  EXPECT_EQ(first->userInfo, Json::parse(R"({"a": [1, "x"], "b": {"c": null}})"));
  std::optional<PostedMessage> second = posted(1);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->userInfo.is_null());

  EXPECT_EQ(run("safari.extension.dispatchMessage(5)").rfind("exception: ", 0), 0u);
  EXPECT_EQ(run("safari.extension.dispatchMessage('n', 'text')").rfind("exception: ", 0), 0u);
  EXPECT_EQ(
      run("const cycle = {}; cycle.self = cycle; safari.extension.dispatchMessage('n', cycle)")
          .rfind("exception: ", 0),
      0u);
  EXPECT_EQ(run("posted.length"), "2");
  // Scripts in the world cannot swap the API out.
  run("try { safari = null; } catch (e) {} try { safari.extension = null; } catch (e) {}");
  EXPECT_EQ(run("typeof safari.extension.dispatchMessage"), "\"function\"");
}

TEST_F(SafariHostContentScriptApi, DeliveryReachesListenersVerbatimAndRunsNothingElse) {
  run("var events = []; var listener = (e) => events.push(e);"
      "safari.self.addEventListener('message', listener);"
      "safari.self.addEventListener('message', listener);"  // added once only
      "safari.self.addEventListener('other', (e) => events.push('wrong type'));");
  const std::string hostile = "\"); globalThis.pwned = 1; (\"</script>\u2028\u2029'`${1}\\\n";
  std::optional<std::string> script =
      deliverMessageScript(hostile, Json{{"text", hostile}, {"n", 1.5}});
  ASSERT_TRUE(script);
  run(*script);
  run(deliverMessageScript("empty", nullptr).value());
  EXPECT_EQ(run("typeof pwned"), "\"undefined\"");
  EXPECT_EQ(Json::parse(run("events")),
            Json::parse(
                Json::array({Json{{"name", hostile}, {"message", {{"text", hostile}, {"n", 1.5}}}},
                             Json{{"name", "empty"}}})
                    .dump()));
  EXPECT_EQ(run("'message' in events[1] && events[1].message === undefined"), "true");

  run("safari.self.removeEventListener('message', listener)");
  run(deliverMessageScript("after", Json::object()).value());
  EXPECT_EQ(run("events.length"), "2");

  EXPECT_FALSE(deliverMessageScript("n", Json::array({1})));
  EXPECT_FALSE(deliverMessageScript("n", Json("text")));
  Json deep = Json::array();
  for (int level = 0; level < 1000; ++level) deep = Json::array({deep});
  EXPECT_FALSE(deliverMessageScript("n", Json{{"deep", deep}}));
}

TEST(SafariHostPostedMessages, OnlyTheShapeTheApiPostsIsAccepted) {
  EXPECT_FALSE(parsePostedMessage("{\"name\": \"n\"}")) << "the API posts a JSON string";
  EXPECT_FALSE(parsePostedMessage("\"not json\""));
  EXPECT_FALSE(parsePostedMessage("\"[1, 2]\""));
  EXPECT_FALSE(parsePostedMessage(R"("{\"userInfo\": {}}")"));
  EXPECT_FALSE(parsePostedMessage(R"("{\"name\": 5}")"));
  EXPECT_FALSE(parsePostedMessage("garbage"));
  std::optional<PostedMessage> odd =
      parsePostedMessage(R"("{\"name\": \"n\", \"userInfo\": [1]}")");
  ASSERT_TRUE(odd);
  EXPECT_TRUE(odd->userInfo.is_null()) << "user info that is not an object arrives as none";
}

TEST(SafariHostContentScriptWorlds, NamesAreDistinctPerExtension) {
  EXPECT_NE(scriptWorldName("a.b"), scriptWorldName("a_b"));
  EXPECT_NE(messageHandlerName("a.b"), messageHandlerName("a_b"));
  EXPECT_EQ(scriptWorldName("com.x"), scriptWorldName("com.x"));
  std::string handler = messageHandlerName("weird \"id\"/../");
  EXPECT_EQ(
      handler.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
      std::string::npos);
}

TEST(SafariHostJsonDepth, CountsNestingOfArraysAndObjects) {
  EXPECT_TRUE(ipc::jsonDepthWithin(Json(5), 0));
  EXPECT_FALSE(ipc::jsonDepthWithin(Json::array(), 0));
  EXPECT_TRUE(ipc::jsonDepthWithin(Json::parse(R"({"a": [1, {"b": 2}]})"), 3));
  EXPECT_FALSE(ipc::jsonDepthWithin(Json::parse(R"({"a": [1, {"b": []}]})"), 3));
}

// An application bundle with extensions, written for the test.
struct BundleWriter {
  TempDir dir;
  std::string app = dir.path() + "/Test.app";

  static std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body +
           "</dict></plist>";
  }
  void writeApp(const std::string& extra = "") const {
    dir.write("Test.app/Contents/Info.plist",
              plist("<key>CFBundleIdentifier</key><string>com.t.app</string>"
                    "<key>CFBundleName</key><string>T App</string>" +
                    extra));
  }
  void writeAppex(const std::string& name, const std::string& identifier,
                  const std::string& extensionBody, const std::string& executable = "Exe",
                  const std::string& extra = "") const {
    dir.write("Test.app/Contents/PlugIns/" + name + ".appex/Contents/Info.plist",
              plist("<key>CFBundleIdentifier</key><string>" + identifier +
                    "</string><key>CFBundleExecutable</key><string>" + executable +
                    "</string><key>NSExtension</key><dict>" + extensionBody + "</dict>" + extra));
  }
  void resource(const std::string& appex, const std::string& name, const std::string& text) const {
    dir.write("Test.app/Contents/PlugIns/" + appex + ".appex/Contents/Resources/" + name, text);
  }
};

const std::string kSafariPoint =
    "<key>NSExtensionPointIdentifier</key><string>com.apple.Safari.extension</string>";

TEST(SafariHostBundles, ReadsExtensionsScriptsToolbarItemAndAuthorities) {
  BundleWriter bundle;
  bundle.writeApp(
      "<key>QVDeployment</key><dict><key>CACertificates</key><string>ca.pem</string>"
      "<key>WebOrigin</key><string>https://WWW.Example.test:8443</string>"
      "<key>BareDomain</key><string>example.test:8443</string>"
      "<key>AuthHost</key><string>[::1]:9</string><key>LogHost</key><string>log.test</string>"
      "</dict>");
  bundle.dir.write("Test.app/Contents/Resources/ca.pem", "pem");
  bundle.writeAppex(
      "B", "com.t.app.b",
      kSafariPoint +
          "<key>SFSafariContentScript</key><array><dict><key>Script</key><string>one.js</string></"
          "dict>"
          "<dict><key>Script</key><string>two.js</string></dict></array>"
          "<key>SFSafariStyleSheet</key><array><dict><key>Style "
          "Sheet</key><string>s.css</string></dict></array>"
          "<key>SFSafariToolbarItem</key><dict><key>Action</key><string>Popover</string>"
          "<key>Image</key><string>icon.png</string><key>Label</key><string>Bee</string></dict>");
  bundle.resource("B", "one.js", "first()");
  bundle.resource("B", "two.js", "second()");
  bundle.resource("B", "s.css", "p {}");
  bundle.resource("B", "icon.png", "png");
  bundle.writeAppex("A", "com.t.app.a", kSafariPoint);
  bundle.writeAppex(
      "NotSafari", "com.t.other",
      "<key>NSExtensionPointIdentifier</key><string>com.apple.share-services</string>");

  std::string problems;
  std::optional<RegisteredApp> app = loadRegisteredApp(bundle.app, &problems);
  ASSERT_TRUE(app) << problems;
  EXPECT_EQ(app->identifier, "com.t.app");
  // The authority may vouch for the deployment's own hosts only, any port.
  ASSERT_EQ(app->authorities.size(), 1u);
  EXPECT_EQ(app->authorities[0].pemPath, bundle.app + "/Contents/Resources/ca.pem");
  EXPECT_EQ(app->authorities[0].hosts,
            (std::vector<std::string>{"www.example.test", "example.test", "::1", "log.test"}));
  EXPECT_EQ(app->authorities[0].appBundlePath, bundle.app);
  ASSERT_EQ(app->extensions.size(), 2u) << problems;
  EXPECT_NE(problems.find("NotSafari"), std::string::npos) << problems;
  const ExtensionInfo& a = app->extensions[0];
  const ExtensionInfo& b = app->extensions[1];
  EXPECT_EQ(a.identifier, "com.t.app.a");
  EXPECT_EQ(a.displayName, "com.t.app.a");
  EXPECT_FALSE(a.toolbarItem);
  EXPECT_EQ(b.executablePath, bundle.app + "/Contents/PlugIns/B.appex/Contents/MacOS/Exe");
  EXPECT_EQ(b.appIdentifier, "com.t.app");
  EXPECT_EQ(b.appName, "T App");
  EXPECT_EQ(b.contentScripts, (std::vector<std::string>{"first()", "second()"}));
  EXPECT_EQ(b.styleSheets, std::vector<std::string>{"p {}"});
  ASSERT_TRUE(b.toolbarItem);
  EXPECT_EQ(b.toolbarItem->action, "Popover");
  EXPECT_EQ(b.toolbarItem->label, "Bee");
  EXPECT_EQ(b.toolbarItem->imagePath,
            bundle.app + "/Contents/PlugIns/B.appex/Contents/Resources/icon.png");
}

TEST(SafariHostBundles, RefusesFilesOutsideTheBundleAndUnusableExecutables) {
  BundleWriter bundle;
  bundle.writeApp();
  bundle.dir.write("secret.js", "steal()");
  bundle.writeAppex("Escape", "com.t.app.escape",
                    kSafariPoint +
                        "<key>SFSafariContentScript</key><array><dict><key>Script</key>"
                        "<string>../../../../../secret.js</string></dict></array>");
  bundle.writeAppex("Missing", "com.t.app.missing",
                    kSafariPoint +
                        "<key>SFSafariContentScript</key><array><dict><key>Script</key>"
                        "<string>gone.js</string></dict></array>");
  bundle.writeAppex("Path", "com.t.app.path", kSafariPoint, "../../../../bin/sh");
  bundle.writeAppex("Dots", "com.t.app.dots", kSafariPoint, "..");
  std::string problems;
  std::optional<RegisteredApp> app = loadRegisteredApp(bundle.app, &problems);
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->extensions.empty()) << app->extensions.front().identifier;
  EXPECT_FALSE(loadRegisteredApp(bundle.dir.path() + "/Nothing.app", &problems));
}

TEST(SafariHostRegistry, FollowsRegistrationsAndKeepsChoices) {
  BundleWriter bundle;
  bundle.writeApp();
  bundle.writeAppex("A", "com.t.app.a", kSafariPoint);
  TempDir home;
  std::string apps = home.path() + "/apps";
  std::string store = home.path() + "/config/extensions.json";
  int changes = 0;
  {
    ExtensionRegistry registry(apps, store);
    registry.setOnChanged([&] { ++changes; });
    registry.start();
    EXPECT_TRUE(registry.extensions().empty());
    home.write("apps/com.t.app.json", Json{{"bundlePath", bundle.app}}.dump());
    home.write("apps/relative.json", Json{{"bundlePath", "Test.app"}}.dump());
    home.write("apps/broken.json", "{");
    registry.rescan();
    ASSERT_EQ(registry.extensions().size(), 1u);
    EXPECT_EQ(changes, 1);
    auto same = registry.find("com.t.app.a");
    registry.rescan();
    EXPECT_EQ(changes, 1) << "nothing changed";
    EXPECT_EQ(registry.find("com.t.app.a"), same);
    EXPECT_FALSE(registry.isEnabled("com.t.app.a")) << "new extensions start disabled";
    EXPECT_TRUE(registry.setEnabled("com.t.app.a", true));
    EXPECT_FALSE(registry.setEnabled("com.t.app.unknown", true));
    EXPECT_EQ(registry.enabledExtensions().size(), 1u);
    EXPECT_EQ(changes, 2);
  }
  ExtensionRegistry again(apps, store);
  again.rescan();
  EXPECT_TRUE(again.isEnabled("com.t.app.a"));
  std::filesystem::remove(apps + "/com.t.app.json");
  again.rescan();
  EXPECT_FALSE(again.find("com.t.app.a"));
  EXPECT_FALSE(again.isEnabled("com.t.app.a"));
}

TEST(SafariHostRegistry, RefusesRegistrationsThatCouldBorrowAnotherBundlesConsent) {
  BundleWriter bundle;
  bundle.writeApp();
  bundle.writeAppex("A", "com.t.app.a", kSafariPoint);
  TempDir home;
  std::string apps = home.path() + "/apps";
  auto registerAs = [&](const std::string& file, const std::string& bundlePath) {
    home.write("apps/" + file, Json{{"bundlePath", bundlePath}}.dump());
  };
  ExtensionRegistry registry(apps, home.path() + "/extensions.json");
  registry.start();

  // The file must be named for the bundle it registers.
  registerAs("com.other.json", bundle.app);
  registry.rescan();
  EXPECT_FALSE(registry.find("com.t.app.a")) << "registered under another application's name";
  std::filesystem::rename(apps + "/com.other.json", apps + "/com.t.app.json");
  registry.rescan();
  ASSERT_TRUE(registry.find("com.t.app.a"));
  ASSERT_TRUE(registry.setEnabled("com.t.app.a", true));

  // What others may write, another user could change: the whole bundle is refused.
  std::string contents = bundle.app + "/Contents";
  ASSERT_EQ(chmod(contents.c_str(), 0775), 0);
  registry.rescan();
  EXPECT_FALSE(registry.find("com.t.app.a")) << "a group-writable bundle is refused";
  ASSERT_EQ(chmod(contents.c_str(), 0755), 0);
  std::string plist = contents + "/PlugIns/A.appex/Contents/Info.plist";
  ASSERT_EQ(chmod(plist.c_str(), 0646), 0);
  registry.rescan();
  EXPECT_FALSE(registry.find("com.t.app.a")) << "an extension's Info.plist others may write";
  ASSERT_EQ(chmod(plist.c_str(), 0644), 0);
  registry.rescan();
  EXPECT_TRUE(registry.isEnabled("com.t.app.a")) << "back, with the user's choice";

  // An extension speaks for its application only.
  BundleWriter stranger;
  stranger.writeApp();
  stranger.writeAppex("X", "com.elsewhere.x", kSafariPoint);
  registerAs("com.t.app.json", stranger.app);
  registry.rescan();
  EXPECT_FALSE(registry.find("com.elsewhere.x"));

  // The same identifier from another bundle path is another extension to the user.
  BundleWriter moved;
  moved.writeApp();
  moved.writeAppex("A", "com.t.app.a", kSafariPoint);
  registerAs("com.t.app.json", moved.app);
  registry.rescan();
  ASSERT_TRUE(registry.find("com.t.app.a"));
  EXPECT_FALSE(registry.isEnabled("com.t.app.a")) << "a moved identifier starts disabled";
  registerAs("com.t.app.json", bundle.app);
  registry.rescan();
  EXPECT_TRUE(registry.isEnabled("com.t.app.a"));
}

TEST(SafariHostRestartBackoff, WaitsLongerAfterEachExitOfACrashLoopAndForgivesALongRun) {
  using Clock = RestartBackoff::Clock;
  using std::chrono::seconds;
  RestartBackoff backoff;
  Clock::time_point now = Clock::now();
  auto crash = [&](Clock::duration after) {
    now += after;
    backoff.started(now);
    backoff.exited(now);
  };
  // Two quick exits restart at once; from the third, each start waits twice as long.
  crash(seconds(0));
  crash(seconds(1));
  EXPECT_EQ(backoff.delayAt(now), Clock::duration::zero());
  crash(seconds(1));
  EXPECT_EQ(backoff.delayAt(now), seconds(1));
  std::vector<long> delays;
  for (int i = 0; i < 8; ++i) {
    crash(backoff.delayAt(now));
    delays.push_back(std::chrono::duration_cast<seconds>(backoff.delayAt(now)).count());
  }
  EXPECT_EQ(delays, (std::vector<long>{2, 4, 8, 16, 32, 60, 60, 60})) << "at most a minute";
  EXPECT_EQ(backoff.delayAt(now + seconds(20)), seconds(40)) << "the wait counts from the exit";

  // A process that stays up for a minute clears the count.
  now += seconds(60);
  backoff.started(now);
  now += seconds(61);
  backoff.exited(now);
  EXPECT_EQ(backoff.delayAt(now), Clock::duration::zero());
  EXPECT_EQ(backoff.exitsInARow(), 1);

  // Exits spread wider than a minute never start the waiting.
  RestartBackoff slow;
  for (int i = 0; i < 10; ++i) {
    now += seconds(31);
    slow.started(now);
    slow.exited(now);
  }
  EXPECT_EQ(slow.delayAt(now), Clock::duration::zero());
}

TEST(SafariHostEnabledStore, PersistsChoicesAndSurvivesACorruptFile) {
  TempDir dir;
  std::string path = dir.path() + "/deep/er/extensions.json";
  {
    EnabledStore store(path);
    EXPECT_FALSE(store.isEnabled("a", "/A.app"));
    EXPECT_TRUE(store.setEnabled("a", "/A.app", true));
    EXPECT_TRUE(store.setEnabled("b", "/A.app", false));
  }
  EnabledStore reread(path);
  EXPECT_TRUE(reread.isEnabled("a", "/A.app"));
  EXPECT_FALSE(reread.isEnabled("a", "/Elsewhere.app")) << "a choice holds for its bundle only";
  EXPECT_FALSE(reread.isEnabled("b", "/A.app"));
  // A choice written before choices named their bundle holds for none.
  std::ofstream(path) << R"({"extensions": {"a": {"enabled": true}}})";
  EXPECT_FALSE(EnabledStore(path).isEnabled("a", "/A.app"));
  std::ofstream(path) << "{\"extensions\": [";
  EnabledStore corrupt(path);
  EXPECT_FALSE(corrupt.isEnabled("a", "/A.app"));
  EXPECT_NE(corrupt.loadProblem().find("not an extension list"), std::string::npos);
  EXPECT_TRUE(corrupt.setEnabled("c", "/C.app", true));
  EXPECT_TRUE(EnabledStore(path).isEnabled("c", "/C.app"));
}

// The labels of a menu's items, sections and submenus, depth first.
std::vector<std::string> menuLabels(GMenuModel* menu) {
  std::vector<std::string> labels;
  for (int index = 0; index < g_menu_model_get_n_items(menu); ++index) {
    gchar* label = nullptr;
    if (g_menu_model_get_item_attribute(menu, index, G_MENU_ATTRIBUTE_LABEL, "s", &label)) {
      labels.emplace_back(label);
      g_free(label);
    }
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      if (GMenuModel* inner = g_menu_model_get_item_link(menu, index, link)) {
        for (std::string& innerLabel : menuLabels(inner)) labels.push_back(std::move(innerLabel));
        g_object_unref(inner);
      }
    }
  }
  return labels;
}

TEST(SafariHostDevelopMenu, TheSwitchIsKeptAndTheMenuListsEachExtensionsPages) {
  TempDir dir;
  const std::string settings = dir.path() + "/safari-host/settings.json";
  GObjectRef<GtkApplication> application(
      gtk_application_new("com.example.developmenu", G_APPLICATION_NON_UNIQUE));
  std::vector<std::pair<std::string, DevelopMenu::Request>> sent;
  auto list = [] {
    return std::vector<DevelopMenu::Extension>{{"com.a.ext", "A_Ext"}, {"com.b.ext", "B"}};
  };
  auto send = [&](const std::string& identifier, DevelopMenu::Request request) {
    sent.emplace_back(identifier, request);
  };
  // The application is not registered: reach its actions as the map holds them.
  auto action = [&](const char* name) {
    return g_action_map_lookup_action(G_ACTION_MAP(application.get()), name);
  };
  {
    DevelopMenu menu(application.get(), settings, list, send);
    EXPECT_FALSE(menu.isShown());
    EXPECT_EQ(g_menu_model_get_n_items(menu.section()), 0) << "no Develop menu while off";

    g_action_change_state(action("show-developer-features"), g_variant_new_boolean(TRUE));
    EXPECT_TRUE(menu.isShown());
    EXPECT_EQ(menuLabels(menu.section()),
              (std::vector<std::string>{"Develop", "A__Ext", "Background Page", "Settings Popup",
                                        "Reload Background Page", "B", "Background Page",
                                        "Settings Popup", "Reload Background Page"}))
        << "an underscore in a name is not a mnemonic";
    g_action_activate(action("develop-inspect-popup"), g_variant_new_string("com.b.ext"));
    g_action_activate(action("develop-reload-background"), g_variant_new_string("com.a.ext"));
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, DevelopMenu::Request>>{
                        {"com.b.ext", DevelopMenu::Request::inspectPopup},
                        {"com.a.ext", DevelopMenu::Request::reloadBackground}}));
  }
  EXPECT_EQ(action("develop-inspect-popup"), nullptr)
      << "the menu takes its actions with it";
  DevelopMenu again(application.get(), settings, list, send);
  EXPECT_TRUE(again.isShown()) << "the switch is kept across runs";
  std::ofstream(settings) << "{\"showDeveloperFeatures\": ";
  EXPECT_FALSE(DevelopMenu(application.get(), settings, list, send).isShown())
      << "a damaged file is the default: off";
}

TEST(SafariHostDevCertificates, TrustsOnlyTheRegisteredAuthorityForTheCertifiedHosts) {
  TempDir first;
  TempDir second;
  std::string error;
  std::optional<test::TestCertificates> ours = test::makeTestCertificates(first.path(), &error);
  std::optional<test::TestCertificates> theirs = test::makeTestCertificates(second.path(), &error);
  ASSERT_TRUE(ours && theirs) << error;
  GTlsCertificate* certificate =
      g_tls_certificate_new_from_file(ours->certPemPath.c_str(), nullptr);
  ASSERT_NE(certificate, nullptr);

  EXPECT_TRUE(chainsToDevelopmentAuthority(certificate, "127.0.0.1", {ours->caPemPath}));
  EXPECT_TRUE(
      chainsToDevelopmentAuthority(certificate, "localhost", {theirs->caPemPath, ours->caPemPath}));
  EXPECT_FALSE(chainsToDevelopmentAuthority(certificate, "example.com", {ours->caPemPath}));
  EXPECT_FALSE(chainsToDevelopmentAuthority(certificate, "127.0.0.1", {theirs->caPemPath}));
  EXPECT_FALSE(chainsToDevelopmentAuthority(certificate, "127.0.0.1", {}));
  EXPECT_FALSE(
      chainsToDevelopmentAuthority(certificate, "127.0.0.1", {first.path() + "/missing.pem"}));
  // A certificate authority's own certificate is no server certificate for the host.
  GTlsCertificate* authority = g_tls_certificate_new_from_file(ours->caPemPath.c_str(), nullptr);
  ASSERT_NE(authority, nullptr);
  EXPECT_FALSE(chainsToDevelopmentAuthority(authority, "127.0.0.1", {ours->caPemPath}));
  g_object_unref(authority);
  g_object_unref(certificate);
}

// Every widget of `type` under `root`, depth first.
std::vector<GtkWidget*> findWidgets(GtkWidget* root, GType type) {
  std::vector<GtkWidget*> found;
  if (G_TYPE_CHECK_INSTANCE_TYPE(root, type)) found.push_back(root);
  for (GtkWidget* child = gtk_widget_get_first_child(root); child != nullptr;
       child = gtk_widget_get_next_sibling(child)) {
    std::vector<GtkWidget*> below = findWidgets(child, type);
    found.insert(found.end(), below.begin(), below.end());
  }
  return found;
}

TEST(SafariHostPreferences, TheSwitchIsTheEnabledStateBothWays) {
  if (!gtk_init_check()) GTEST_SKIP() << "no display";
  BundleWriter bundle;
  bundle.writeApp();
  // A name from a bundle is text, never markup: "<b>&x" shows as those five characters.
  bundle.writeAppex("A", "com.t.app.a", kSafariPoint, "Exe",
                    "<key>CFBundleName</key><string>&lt;b&gt;&amp;x</string>");
  TempDir home;
  home.write("apps/com.t.app.json", Json{{"bundlePath", bundle.app}}.dump());
  ExtensionRegistry registry(home.path() + "/apps", home.path() + "/extensions.json");
  registry.rescan();
  PreferencesWindow preferences(nullptr, registry);
  registry.setOnChanged([&] { preferences.refresh(); });

  bool shown = false;
  preferences.show(std::string("com.t.app.a"), [&] { shown = true; });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!shown && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
  }
  ASSERT_TRUE(shown) << "the window never reached the screen";
  GtkWidget* window = nullptr;
  for (GList* each = gtk_window_list_toplevels(); each != nullptr; each = each->next) {
    if (ADW_IS_PREFERENCES_WINDOW(each->data)) window = GTK_WIDGET(each->data);
  }
  ASSERT_NE(window, nullptr);
  std::vector<std::string> texts;
  for (GtkWidget* label : findWidgets(window, GTK_TYPE_LABEL)) {
    texts.push_back(gtk_label_get_text(GTK_LABEL(label)));
  }
  EXPECT_NE(std::find(texts.begin(), texts.end(), "<b>&x"), texts.end());
  // The extension's switch; the Advanced page's one is bound to an action instead.
  std::vector<GtkWidget*> switches = findWidgets(window, GTK_TYPE_SWITCH);
  std::erase_if(switches, [](GtkWidget* toggle) {
    return gtk_actionable_get_action_name(GTK_ACTIONABLE(toggle)) != nullptr;
  });
  ASSERT_EQ(switches.size(), 1u);
  EXPECT_FALSE(gtk_switch_get_active(GTK_SWITCH(switches[0])));

  gtk_switch_set_active(GTK_SWITCH(switches[0]), TRUE);
  EXPECT_TRUE(registry.isEnabled("com.t.app.a"));
  EXPECT_TRUE(EnabledStore(home.path() + "/extensions.json").isEnabled("com.t.app.a", bundle.app));
  registry.setEnabled("com.t.app.a", false);
  EXPECT_FALSE(gtk_switch_get_active(GTK_SWITCH(switches[0])));
}

}  // namespace
}  // namespace qv::host
