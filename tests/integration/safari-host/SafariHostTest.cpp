// safari-host as a whole: the real browser under Xvfb, the test extension in its own
// process, pages over HTTP(S) on 127.0.0.1, everything driven through the control socket.

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>

#include "tests/support/HttpsTestServer.h"
#include "tests/support/IpcText.h"
#include "tests/support/SilentServer.h"
#include "tests/support/TestWebServer.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/HostProcess.h"
#include "tests/support/gtk/PngImages.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

const std::string kExtension = TestBundle::kExtensionIdentifier;

// What the test content script in `tab` has received (in its own world).
Json receivedIn(HostProcess& host, const std::string& tab) {
  Json result = host.callOk("automation.evaluate",
                            Json{{"tab", tab},
                                 {"script", "window.qvTest ? window.qvTest.received : null"},
                                 {"world", "extension"}});
  return result.is_null() ? Json(nullptr) : result["value"];
}

// The page reference of the first "hello" its content script sent from `url` after log
// entry `from`.
std::string helloPage(HostProcess& host, const std::string& url, std::size_t from = 0) {
  std::optional<Json> hello = host.waitForLog(
      [&](const Json& entry) {
        return isCall("handler.messageReceived", "hello")(entry) &&
               entry["args"]["userInfo"].value("url", "") == url;
      },
      from);
  return hello ? hello->at("args").value("page", "") : "";
}

bool processGone(pid_t pid) {
  return kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(SafariHostContentScripts, MessagesTravelBetweenAPageAndTheExtensionAndReachOnlyThatPage) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json first = host.openWindowAndWait(web.url("/a"));
  Json second =
      host.callOk("automation.openTab",
                  Json{{"window", first["window"]}, {"url", web.url("/b")}, {"activate", false}});
  host.callOk("automation.waitForLoad", Json{{"tab", second["tab"]}, {"timeoutMs", 20000}});

  std::string pageA = helloPage(host, web.url("/a"));
  std::string pageB = helloPage(host, web.url("/b"));
  ASSERT_FALSE(pageA.empty());
  ASSERT_FALSE(pageB.empty());
  EXPECT_NE(pageA, pageB);

  Json properties = host.extensionCall("page.getProperties", Json{{"page", pageA}});
  EXPECT_EQ(properties["result"]["properties"]["url"], web.url("/a"));
  EXPECT_EQ(properties["result"]["properties"]["title"], "Page A");
  EXPECT_EQ(properties["result"]["properties"]["usesPrivateBrowsing"], false);

  // Text that would break out of a string or a call if it were pasted into the script.
  const std::string hostile = "\"); window.pwned = 1; (\"</script>\u2028'`${x}\\";
  host.extensionCall("page.dispatchMessageToScript",
                     Json{{"page", pageA}, {"name", hostile}, {"userInfo", {{"text", hostile}}}});
  host.extensionCall("page.dispatchMessageToScript",
                     Json{{"page", pageA}, {"name", "bare"}, {"userInfo", nullptr}});
  ASSERT_TRUE(waitUntil([&] { return receivedIn(host, first["tab"]).size() == 2; }));
  Json received = receivedIn(host, first["tab"]);
  EXPECT_EQ(received[0]["name"], hostile);
  EXPECT_EQ(received[0]["message"]["text"], hostile);
  EXPECT_EQ(received[1]["name"], "bare");
  EXPECT_EQ(received[1]["hasMessage"], false);
  EXPECT_EQ(receivedIn(host, second["tab"]), Json::array()) << "page B got page A's messages";
  Json pwned = host.callOk(
      "automation.evaluate",
      Json{{"tab", first["tab"]}, {"script", "typeof window.pwned"}, {"world", "extension"}});
  EXPECT_EQ(pwned["value"], "undefined");

  // A content script's own message comes back through the extension to its page.
  host.callOk("automation.evaluate",
              Json{{"tab", second["tab"]},
                   {"script", "safari.extension.dispatchMessage('echo', {n: 7}); true"},
                   {"world", "extension"}});
  ASSERT_TRUE(waitUntil([&] { return receivedIn(host, second["tab"]).size() == 1; }));
  EXPECT_EQ(receivedIn(host, second["tab"])[0]["message"], (Json{{"n", 7}}));
}

TEST(SafariHostContentScripts, LiveInTheirOwnWorldWithTheExtensionsStyleSheets) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  ASSERT_FALSE(helloPage(host, web.url("/a")).empty());
  auto evaluate = [&](const std::string& script, const std::string& world) {
    return host.callOk("automation.evaluate",
                       Json{{"tab", opened["tab"]}, {"script", script}, {"world", world}})["value"];
  };
  EXPECT_EQ(evaluate("window.pageSawSafari", "page"), "undefined");
  EXPECT_EQ(evaluate("typeof safari", "page"), "undefined");
  EXPECT_EQ(evaluate("typeof qvTest", "page"), "undefined");
  EXPECT_EQ(evaluate("typeof safari.extension.dispatchMessage", "extension"), "function");
  EXPECT_EQ(evaluate("typeof window.pageSecret", "extension"), "undefined");
  EXPECT_EQ(evaluate("window.pageSecret", "page"), 42);
  EXPECT_EQ(evaluate("getComputedStyle(document.body).outlineColor", "page"), "rgb(0, 200, 0)");
  // Errors in a script come back as errors, not as values.
  EXPECT_TRUE(host.call("automation.evaluate", Json{{"tab", opened["tab"]},
                                                    {"script", "throw new Error('boom')"},
                                                    {"world", "page"}})
                  .error);
  // A removed listener hears nothing; one that throws does not stop the others.
  evaluate(
      "window.heard = []; const a = (e) => heard.push('a'); "
      "safari.self.addEventListener('message', a);"
      "safari.self.addEventListener('message', () => { throw new Error('x'); });"
      "safari.self.addEventListener('message', (e) => heard.push('c'));"
      "safari.self.removeEventListener('message', a); true",
      "extension");
  std::string page = helloPage(host, web.url("/a"));
  host.extensionCall("page.dispatchMessageToScript", Json{{"page", page}, {"name", "n"}});
  ASSERT_TRUE(waitUntil([&] { return evaluate("heard.length", "extension") == 1; }));
  EXPECT_EQ(evaluate("heard", "extension"), Json::array({"c"}));
}

TEST(SafariHostContentScripts, ANavigationMakesANewPageAndTheOldOneStopsExisting) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  std::string oldPage = helloPage(host, web.url("/a"));
  ASSERT_FALSE(oldPage.empty());
  // While the next document is still on its way, the page is the one shown.
  SilentServer silent;
  host.extensionCall("tab.navigate", Json{{"tab", opened["tab"]}, {"url", silent.url()}});
  ASSERT_TRUE(waitUntil([&] {
    return host.callOk("automation.listWindows").dump().find(silent.url()) != std::string::npos;
  }));
  EXPECT_EQ(host.extensionCall("page.getProperties",
                               Json{{"page", oldPage}})["result"]["properties"]["url"],
            web.url("/a"));
  EXPECT_EQ(host.extensionCall("tab.getPages", Json{{"tab", opened["tab"]}})["result"]["pages"],
            Json::array({oldPage}));

  std::size_t mark = host.extensionLog().size();
  host.extensionCall("tab.navigate", Json{{"tab", opened["tab"]}, {"url", web.url("/c")}});
  std::string newPage = helloPage(host, web.url("/c"), mark);
  ASSERT_FALSE(newPage.empty());
  EXPECT_NE(newPage, oldPage);
  EXPECT_EQ(host.extensionCall("tab.getPages", Json{{"tab", opened["tab"]}})["result"]["pages"],
            Json::array({newPage}));
  EXPECT_EQ(host.extensionCall("tab.getActivePage", Json{{"tab", opened["tab"]}})["result"]["page"],
            newPage);
  EXPECT_TRUE(
      host.extensionCall("page.getProperties", Json{{"page", oldPage}})["result"]["properties"]
          .is_null());

  // A message to the old page must not reach the document that replaced it.
  host.extensionCall("page.dispatchMessageToScript", Json{{"page", oldPage}, {"name", "stale"}});
  host.extensionCall("page.dispatchMessageToScript", Json{{"page", newPage}, {"name", "fresh"}});
  ASSERT_TRUE(waitUntil([&] { return receivedIn(host, opened["tab"]).size() >= 1; }));
  Json received = receivedIn(host, opened["tab"]);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0]["name"], "fresh");
}

TEST(SafariHostContentScripts, EachExtensionHasItsOwnWorldMessagesAndToolbarItem) {
  TestWebServer web;
  HostProcess::Options options;
  options.otherExtension = true;
  HostProcess host(options);
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  auto helloFrom = [&](const std::string& bundle) {
    return host.waitForLog([&](const Json& entry) {
      return isCall("handler.messageReceived", "hello")(entry) && entry["bundle"] == bundle;
    });
  };
  std::optional<Json> first = helloFrom("QvTestExtension.appex");
  std::optional<Json> other = helloFrom("QvTestOther.appex");
  ASSERT_TRUE(first && other) << "each extension hears its own content script";
  std::string page = (*first)["args"]["page"];
  EXPECT_EQ((*other)["args"]["page"], page) << "both scripts run in the same document";
  EXPECT_NE((*first)["pid"], (*other)["pid"]);

  host.extensionCall("page.dispatchMessageToScript", Json{{"page", page}, {"name", "mine"}});
  auto receivedBy = [&](const std::string& extension) {
    return host.callOk("automation.evaluate", Json{{"tab", opened["tab"]},
                                                   {"script", "window.qvTest.received"},
                                                   {"world", "extension"},
                                                   {"extensionIdentifier", extension}})["value"];
  };
  ASSERT_TRUE(waitUntil([&] { return receivedBy(kExtension).size() == 1; }));
  EXPECT_EQ(receivedBy(TestBundle::kOtherIdentifier), Json::array())
      << "a message reaches only its own extension's scripts";

  // An extension cannot touch another extension's toolbar item.
  Json firstItem = host.callOk("automation.toolbarItem", Json{{"window", opened["window"]},
                                                              {"extensionIdentifier", kExtension}});
  host.extensionCall("toolbarItem.setBadgeText",
                     Json{{"toolbarItem", firstItem["toolbarItem"]}, {"text", "stolen"}},
                     TestBundle::kOtherIdentifier);
  std::string otherItem =
      host.extensionCall("window.getToolbarItem", Json{{"window", opened["window"]}},
                         TestBundle::kOtherIdentifier)["result"]["toolbarItem"];
  EXPECT_NE(otherItem, firstItem["toolbarItem"]);
  host.extensionCall("toolbarItem.setBadgeText", Json{{"toolbarItem", otherItem}, {"text", "2"}},
                     TestBundle::kOtherIdentifier);
  EXPECT_EQ(
      host.callOk("automation.toolbarItem", Json{{"window", opened["window"]},
                                                 {"extensionIdentifier", kExtension}})["badgeText"],
      "");
  EXPECT_EQ(host.callOk("automation.toolbarItem",
                        Json{{"window", opened["window"]},
                             {"extensionIdentifier", TestBundle::kOtherIdentifier}})["badgeText"],
            "2");
}

TEST(SafariHostBrowserObjects, TheExtensionOpensNavigatesAndClosesRealTabsAndWindows) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json first = host.openWindowAndWait(web.url("/a"));
  std::string window = first["window"];
  host.callOk("automation.activateTab", Json{{"tab", first["tab"]}});

  EXPECT_EQ(host.extensionCall("application.getActiveWindow", Json::object())["result"]["window"],
            window);
  Json all = host.extensionCall("application.getAllWindows", Json::object())["result"]["windows"];
  EXPECT_NE(std::find(all.begin(), all.end(), Json(window)), all.end());

  std::string tab =
      host.extensionCall("window.openTab", Json{{"window", window},
                                                {"url", web.url("/b")},
                                                {"makeActiveIfPossible", true}})["result"]["tab"];
  ASSERT_FALSE(tab.empty());
  EXPECT_EQ(host.callOk("automation.waitForLoad", Json{{"tab", tab}, {"timeoutMs", 20000}})["url"],
            web.url("/b"));
  EXPECT_EQ(host.extensionCall("window.getActiveTab", Json{{"window", window}})["result"]["tab"],
            tab);
  EXPECT_EQ(host.extensionCall("tab.getContainingWindow", Json{{"tab", tab}})["result"]["window"],
            window);
  EXPECT_EQ(host.extensionCall("window.getAllTabs", Json{{"window", window}})["result"]["tabs"],
            Json::array({first["tab"], tab}));

  host.extensionCall("tab.navigate", Json{{"tab", tab}, {"url", web.url("/c")}});
  ASSERT_TRUE(waitUntil([&] {
    Json windows = host.callOk("automation.listWindows")["windows"];
    for (const Json& each : windows) {
      for (const Json& shown : each["tabs"]) {
        if (shown["tab"] == tab && shown["title"] == "Page C" && !shown["loading"].get<bool>()) {
          return true;
        }
      }
    }
    return false;
  }));

  host.extensionCall("tab.close", Json{{"tab", tab}});
  EXPECT_EQ(host.extensionCall("window.getAllTabs", Json{{"window", window}})["result"]["tabs"],
            Json::array({first["tab"]}));

  // The browser opened a window of its own at start; count from what is there.
  auto windowCount = [&] { return host.callOk("automation.listWindows")["windows"].size(); };
  std::size_t before = windowCount();
  std::string second = host.extensionCall("application.openWindow",
                                          Json{{"url", web.url("/b")}})["result"]["window"];
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(windowCount(), before + 1);
  host.extensionCall("window.close", Json{{"window", second}});
  EXPECT_EQ(windowCount(), before);
  EXPECT_TRUE(
      host.extensionCall("window.getAllTabs", Json{{"window", second}})["result"]["tabs"].empty());

  // Closing a window's last tab closes the window.
  Json third = host.callOk("automation.openWindow", Json{{"url", web.url("/c")}});
  EXPECT_EQ(windowCount(), before + 1);
  host.extensionCall("tab.close", Json{{"tab", third["tab"]}});
  EXPECT_TRUE(waitUntil([&] { return windowCount() == before; }));
  EXPECT_NE(host.callOk("automation.listWindows").dump().find(window), std::string::npos);
}

TEST(SafariHostBrowserObjects, ReferencesToObjectsThatAreGoneOrWrongGiveNullResults) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  EXPECT_TRUE(host.extensionCall("window.openTab",
                                 Json{{"window", "window-999999"}, {"url", "x"}})["result"]["tab"]
                  .is_null());
  EXPECT_EQ(host.extensionCall("window.getAllTabs", Json{{"window", 5}})["result"]["tabs"],
            Json::array());
  EXPECT_TRUE(
      host.extensionCall("window.getActiveTab", Json{{"window", opened["tab"]}})["result"]["tab"]
          .is_null())
      << "a tab reference is not a window";
  EXPECT_EQ(host.extensionCall("tab.getPages", Json{{"tab", "tab-999999"}})["result"]["pages"],
            Json::array());
  // A reference of the wrong kind names nothing either.
  host.extensionCall("toolbarItem.setBadgeText",
                     Json{{"toolbarItem", opened["window"]}, {"text", "x"}});
  EXPECT_EQ(
      host.callOk("automation.toolbarItem", Json{{"window", opened["window"]},
                                                 {"extensionIdentifier", kExtension}})["badgeText"],
      "");
  EXPECT_TRUE(
      host.extensionCall("tab.getContainingWindow", Json::object())["result"]["window"].is_null());
  EXPECT_TRUE(
      host.extensionCall("page.getProperties", Json{{"page", nullptr}})["result"]["properties"]
          .is_null());
  EXPECT_TRUE(
      host.extensionCall("window.getToolbarItem", Json{{"window", "nope"}})["result"]["toolbarItem"]
          .is_null());
  EXPECT_EQ(host.extensionCall("no.suchMethod", Json::object())["error"].is_string(), true);
  host.extensionCall("tab.close", Json{{"tab", "tab-999999"}});
  host.extensionCall("window.close", Json{{"window", "window-999999"}});
  EXPECT_EQ(host.callOk("automation.listWindows")["windows"].size(), 2u);
}

TEST(SafariHostToolbarItem, ShowsTheExtensionsImageBadgeAndValidation) {
  TestWebServer web;
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  Json args{{"window", opened["window"]}, {"extensionIdentifier", kExtension}};
  Json item = host.callOk("automation.toolbarItem", args);
  EXPECT_EQ(item["hasImage"], true);
  EXPECT_EQ(item["imageName"], TestBundle::kImageName);
  EXPECT_EQ(item["badgeText"], "");

  std::string ref = host.extensionCall("window.getToolbarItem",
                                       Json{{"window", opened["window"]}})["result"]["toolbarItem"];
  ASSERT_FALSE(ref.empty());
  host.extensionCall("toolbarItem.setBadgeText", Json{{"toolbarItem", ref}, {"text", "7"}});
  std::string png = solidPng(16, 16, 255, 0, 255);
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(png.data()), png.size());
  std::string base64(encoded);
  g_free(encoded);
  host.extensionCall("toolbarItem.setImage",
                     Json{{"toolbarItem", ref}, {"image", {{"png", base64}}}});
  item = host.callOk("automation.toolbarItem", args);
  EXPECT_EQ(item["badgeText"], "7");
  EXPECT_EQ(item["hasImage"], true);
  EXPECT_TRUE(item["imageName"].is_null());

  std::string shot = host.root().path() + "/window.png";
  ASSERT_TRUE(waitUntil([&] {
    host.callOk("automation.screenshot", Json{{"window", opened["window"]}, {"path", shot}});
    return countPixels(shot, 255, 0, 255) >= 150 && countPixels(shot, 0xe0, 0x1b, 0x24) >= 10;
  })) << "magenta image: "
      << countPixels(shot, 255, 0, 255) << " red badge: " << countPixels(shot, 0xe0, 0x1b, 0x24);

  // Bytes that are no image change nothing; null brings the extension's own image back.
  host.extensionCall("toolbarItem.setImage",
                     Json{{"toolbarItem", ref}, {"image", {{"png", "bm90IGEgcG5n"}}}});
  EXPECT_TRUE(host.callOk("automation.toolbarItem", args)["imageName"].is_null());
  host.extensionCall("toolbarItem.setImage", Json{{"toolbarItem", ref}, {"image", nullptr}});
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["imageName"], TestBundle::kImageName);
  // An image a script set is named after the extension's resource that looks the same
  // (the test extension's icon is solid blue).
  std::string blue = solidPng(16, 16, 0, 0, 255);
  gchar* blueBase64 = g_base64_encode(reinterpret_cast<const guchar*>(blue.data()), blue.size());
  host.extensionCall("toolbarItem.setImage",
                     Json{{"toolbarItem", ref}, {"image", {{"png", std::string(blueBase64)}}}});
  g_free(blueBase64);
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["imageName"], TestBundle::kImageName);
  // An icon larger than 1024 pixels a side is refused before its pixels are decoded: the
  // small image stays.
  std::string huge = solidPng(1025, 16, 0, 0, 255);
  gchar* hugeBase64 = g_base64_encode(reinterpret_cast<const guchar*>(huge.data()), huge.size());
  host.extensionCall("toolbarItem.setImage",
                     Json{{"toolbarItem", ref}, {"image", {{"png", std::string(hugeBase64)}}}});
  g_free(hugeBase64);
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["imageName"], TestBundle::kImageName);
  host.extensionCall("toolbarItem.setImage", Json{{"toolbarItem", ref}, {"image", nullptr}});
  ASSERT_TRUE(waitUntil([&] {
    host.callOk("automation.screenshot", Json{{"window", opened["window"]}, {"path", shot}});
    return countPixels(shot, 255, 0, 255) == 0 && countPixels(shot, 0, 0, 255) >= 150;
  }));

  // Validation runs when the active tab changes, and its reply sets badge and state.
  ASSERT_TRUE(host.tellExtension("configure",
                                 Json{{"validateBadgeText", "v9"}, {"validateEnabled", false}}));
  std::size_t mark = host.extensionLog().size();
  Json other =
      host.callOk("automation.openTab",
                  Json{{"window", opened["window"]}, {"url", web.url("/b")}, {"activate", true}});
  ASSERT_TRUE(host.waitForLog(
      [&](const Json& entry) {
        return isCall("handler.validateToolbarItem")(entry) &&
               entry["args"]["window"] == opened["window"];
      },
      mark));
  ASSERT_TRUE(
      waitUntil([&] { return host.callOk("automation.toolbarItem", args)["badgeText"] == "v9"; }));
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["enabled"], false);
  EXPECT_TRUE(host.call("automation.clickToolbarItem", args).error)
      << "a disabled item cannot be clicked";
}

TEST(SafariHostToolbarItem, ClicksOpenAndCloseThePopoverAndDismissResetsIt) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json windows = host.callOk("automation.listWindows")["windows"];
  ASSERT_EQ(windows.size(), 1u);
  std::string window = windows[0]["window"];
  Json args{{"window", window}, {"extensionIdentifier", kExtension}};

  auto clickAndExpect = [&](const std::string& method) {
    std::size_t mark = host.extensionLog().size();
    host.callOk("automation.clickToolbarItem", args);
    std::optional<Json> entry = host.waitForLog(isCall(method), mark);
    ASSERT_TRUE(entry) << "no " << method;
    EXPECT_EQ((*entry)["args"]["window"], window);
  };
  clickAndExpect("handler.popoverWillShow");
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["popoverShown"], true);
  clickAndExpect("handler.popoverDidClose");
  clickAndExpect("handler.popoverWillShow");
  host.extensionCall("popover.dismiss", Json::object());
  EXPECT_EQ(host.callOk("automation.toolbarItem", args)["popoverShown"], false);
  clickAndExpect("handler.popoverWillShow");
  // Another extension's toolbar item is out of reach.
  EXPECT_TRUE(
      host.call("automation.toolbarItem", Json{{"window", window}, {"extensionIdentifier", "x.y"}})
          .error);
}

TEST(SafariHostCompanion, StateFollowsTheSwitchAndMessagesNeedAnEnabledExtension) {
  HostProcess::Options options;
  options.enableExtension = false;
  HostProcess host(options);
  ASSERT_TRUE(host.start());
  Json id{{"extensionIdentifier", kExtension}};
  EXPECT_EQ(host.callOk("extensions.getState", id)["isEnabled"], false)
      << "new extensions start disabled";
  EXPECT_TRUE(
      host.call("extensions.getState", Json{{"extensionIdentifier", "com.nobody.ext"}}).error);
  EXPECT_TRUE(
      host.call("extensions.showPreferences", Json{{"extensionIdentifier", "com.nobody.ext"}})
          .error);
  Json message{{"extensionIdentifier", kExtension}, {"name", "hi"}, {"userInfo", {{"a", 1}}}};
  ipc::Reply refused = host.call("extensions.dispatchMessage", message);
  EXPECT_TRUE(refused.error) << "a disabled extension takes no messages";
  Json unknown = message;
  unknown["extensionIdentifier"] = "com.nobody.ext";
  EXPECT_TRUE(host.call("extensions.dispatchMessage", unknown).error);
  EXPECT_TRUE(host.extensionLog().empty()) << "nothing starts a disabled extension";

  EXPECT_TRUE(host.call("extensions.showPreferences", id).result);
  host.callOk("automation.setExtensionEnabled",
              Json{{"extensionIdentifier", kExtension}, {"enabled", true}});
  EXPECT_EQ(host.callOk("extensions.getState", id)["isEnabled"], true);
  EXPECT_TRUE(host.call("extensions.dispatchMessage", message).result);
  std::optional<Json> delivered =
      host.waitForLog(isCall("handler.messageReceivedFromContainingApp", "hi"));
  ASSERT_TRUE(delivered);
  EXPECT_EQ((*delivered)["args"]["userInfo"], (Json{{"a", 1}}));
  pid_t extensionPid = (*delivered)["pid"];

  std::ifstream stored(host.configHome() + "/safari-host/extensions.json");
  Json onDisk = Json::parse(stored, nullptr, false);
  EXPECT_EQ(onDisk["extensions"][kExtension]["enabled"], true);

  host.callOk("automation.setExtensionEnabled",
              Json{{"extensionIdentifier", kExtension}, {"enabled", false}});
  EXPECT_EQ(host.callOk("extensions.getState", id)["isEnabled"], false);
  EXPECT_TRUE(waitUntil([&] { return processGone(extensionPid); }))
      << "a disabled extension is stopped";
  EXPECT_TRUE(host.call("extensions.dispatchMessage", message).error);
}

TEST(SafariHostCompanion, RegistrationsAndChoicesAreReadAtStartAndFollowed) {
  HostProcess::Options options;
  options.registerBundle = false;
  options.enableExtension = false;
  HostProcess host(options);
  ASSERT_TRUE(host.start());
  Json id{{"extensionIdentifier", kExtension}};
  EXPECT_TRUE(host.call("extensions.getState", id).error);
  // An application registering while the browser runs is picked up.
  TestBundle::create(host.root().path(), host.dataHome());
  ASSERT_TRUE(waitUntil([&] { return host.call("extensions.getState", id).result.has_value(); }));
  host.callOk("automation.setExtensionEnabled",
              Json{{"extensionIdentifier", kExtension}, {"enabled", true}});
  EXPECT_EQ(host.quit(), 0);

  ASSERT_TRUE(host.start());
  EXPECT_EQ(host.callOk("extensions.getState", id)["isEnabled"], true) << "the choice is kept";
  std::filesystem::remove(host.dataHome() + "/safari-host/apps/" +
                          std::string(TestBundle::kAppIdentifier) + ".json");
  EXPECT_TRUE(waitUntil([&] { return host.call("extensions.getState", id).error.has_value(); }));
}

// How an extension can break its connection; each leaves the browser running and the
// extension restarting on the next event.
struct Misbehaviour {
  const char* name;
  const char* message;
};

void PrintTo(const Misbehaviour& misbehaviour, std::ostream* out) {
  *out << misbehaviour.name;
}

class SafariHostRobustness : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(SafariHostRobustness, TheBrowserSurvivesAndRestartsTheExtensionOnTheNextEvent) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.tellExtension("configure"));
  std::optional<Json> started =
      host.waitForLog([](const Json& entry) { return entry["event"] == "start"; });
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["fdValid"], true);
  pid_t first = (*started)["pid"];

  host.tellExtension(GetParam().message);
  ASSERT_TRUE(waitUntil([&] { return processGone(first); })) << "the broken extension is stopped";
  EXPECT_TRUE(host.call("automation.listWindows").result) << "the browser is still answering";

  std::size_t mark = host.extensionLog().size();
  ASSERT_TRUE(waitUntil([&] { return host.tellExtension("configure"); }));
  std::optional<Json> restarted =
      host.waitForLog([](const Json& entry) { return entry["event"] == "start"; }, mark);
  ASSERT_TRUE(restarted) << "no restart";
  EXPECT_NE((*restarted)["pid"], first);
  Json windows = host.extensionCall("application.getAllWindows", Json::object());
  EXPECT_EQ(windows["result"]["windows"].size(), 1u);
  EXPECT_EQ(windows["pid"], (*restarted)["pid"]);
}

INSTANTIATE_TEST_SUITE_P(Misbehaviours, SafariHostRobustness,
                         ::testing::Values(Misbehaviour{"garbage", "garbage"},
                                           Misbehaviour{"oversized", "oversized"},
                                           Misbehaviour{"dies", "die"},
                                           Misbehaviour{"diesMidCall", "dieMidCall"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SafariHostRobustnessExtra, AnExtensionDyingWhileTheBrowserAwaitsItsReplyIsRestarted) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json window = host.callOk("automation.listWindows")["windows"][0];
  ASSERT_TRUE(host.tellExtension("configure", Json{{"dieOnValidate", true}}));
  std::optional<Json> started =
      host.waitForLog([](const Json& entry) { return entry["event"] == "start"; });
  ASSERT_TRUE(started);
  pid_t first = (*started)["pid"];
  // Activating a tab validates the toolbar item; the extension dies instead of replying.
  host.callOk("automation.activateTab", Json{{"tab", window["tabs"][0]["tab"]}});
  ASSERT_TRUE(waitUntil([&] { return processGone(first); }));
  std::size_t mark = host.extensionLog().size();
  // The browser learns of the exit asynchronously; an event that reaches it first must
  // not go down with the dead connection, but start the extension again.
  ASSERT_TRUE(host.tellExtension("configure"));
  EXPECT_TRUE(host.waitForLog([](const Json& entry) { return entry["event"] == "start"; }, mark));
  EXPECT_TRUE(host.call("automation.listWindows").result);
}

TEST(SafariHostRobustnessExtra, DeeplyNestedArgumentsAreRefusedWithoutHarm) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.tellExtension("configure"));
  std::optional<Json> started =
      host.waitForLog([](const Json& entry) { return entry["event"] == "start"; });
  ASSERT_TRUE(started);
  ASSERT_TRUE(host.tellExtension("deep"));
  EXPECT_TRUE(host.call("automation.listWindows").result);
  Json windows = host.extensionCall("application.getAllWindows", Json::object());
  EXPECT_EQ(windows["result"]["windows"].size(), 1u) << windows.dump();
  EXPECT_EQ(windows["pid"], (*started)["pid"]) << "the extension kept its connection";
  EXPECT_TRUE(host.isRunning());
}

TEST(SafariHostNavigation, CustomSchemesGoToTheDesktopAndNotIntoTheTab) {
  TestWebServer web;
  HostProcess host;
  std::string received = host.recordSchemeHandoffs("qvtest");
  ASSERT_TRUE(host.start());
  Json opened = host.openWindowAndWait(web.url("/a"));
  const std::string callback = "qvtest://oauth?code=abc&code_challenge=xyz";
  host.callOk("automation.evaluate",
              Json{{"tab", opened["tab"]},
                   {"script", "location.href = " + Json(callback).dump() + "; true"},
                   {"world", "page"}});
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(received); }))
      << "nothing was handed over";
  std::ifstream file(received);
  std::string uri((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(uri, callback);
  Json shown =
      host.callOk("automation.evaluate", Json{{"tab", opened["tab"]},
                                              {"script", "location.href + ' ' + document.title"},
                                              {"world", "page"}});
  EXPECT_EQ(shown["value"], web.url("/a") + " Page A") << "the tab stays where it was";
}

TEST(SafariHostNavigation, TrustsSitesOfARegisteredDevelopmentAuthorityAndNoOthers) {
  HttpsTestServer trusted;
  HttpsTestServer stranger;
  ASSERT_TRUE(trusted.ok() && stranger.ok());
  for (HttpsTestServer* server : {&trusted, &stranger}) {
    server->handle(
        "GET", "/",
        TestResponse{200,
                     {},
                     "<html><head><title>Secure</title></head><body>secret</body></html>",
                     "text/html"});
  }
  HostProcess::Options options;
  options.caPemPath = trusted.caPemPath();
  HostProcess host(options);
  ASSERT_TRUE(host.start());

  Json good = host.openWindowAndWait(trusted.url("/"));
  EXPECT_EQ(host.callOk("automation.evaluate", Json{{"tab", good["tab"]},
                                                    {"script", "document.title"},
                                                    {"world", "page"}})["value"],
            "Secure");
  Json bad = host.openWindowAndWait(stranger.url("/"));
  EXPECT_NE(host.callOk("automation.evaluate", Json{{"tab", bad["tab"]},
                                                    {"script", "document.title"},
                                                    {"world", "page"}})["value"],
            "Secure");
  EXPECT_EQ(stranger.requests().size(), 0u) << "no request completed over the untrusted connection";
}

TEST(SafariHostAutomation, AnswersErrorsForBadArgumentsAndTimesOut) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  Json window = host.callOk("automation.listWindows")["windows"][0];
  EXPECT_EQ(window["active"], true);
  ASSERT_EQ(window["tabs"].size(), 1u);
  EXPECT_TRUE(
      host.call("automation.openTab", Json{{"window", "window-0"}, {"url", "about:blank"}}).error);
  EXPECT_TRUE(host.call("automation.evaluate",
                        Json{{"tab", window["tabs"][0]["tab"]}, {"script", "1"}, {"world", "x"}})
                  .error);
  EXPECT_TRUE(host.call("automation.screenshot", Json{{"window", window["window"]}}).error);
  EXPECT_TRUE(host.call("automation.setExtensionEnabled",
                        Json{{"extensionIdentifier", "x"}, {"enabled", true}})
                  .error);
  EXPECT_TRUE(host.call("automation.nothing").error);
  SilentServer silent;
  Json tab =
      host.callOk("automation.openTab",
                  Json{{"window", window["window"]}, {"url", silent.url()}, {"activate", true}});
  ipc::Reply timedOut =
      host.call("automation.waitForLoad", Json{{"tab", tab["tab"]}, {"timeoutMs", 300}});
  EXPECT_TRUE(timedOut.error);
  EXPECT_EQ(host.callOk("automation.listWindows")["windows"][0]["tabs"][1]["loading"], true);
}

TEST(SafariHostAutomation, PopoverRequestsReachTheRunningExtensionAndAlwaysGetAnAnswer) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.waitForLog(isCall("handler.validateToolbarItem"))) << "the extension never ran";
  auto evaluate = [&](const std::string& extension, const Json& script) {
    return host.call("automation.evaluatePopover",
                     Json{{"extensionIdentifier", extension}, {"script", script}});
  };

  ipc::Reply relayed = evaluate(kExtension, "document.title");
  ASSERT_TRUE(relayed.result) << test::errorText(relayed);
  EXPECT_EQ(*relayed.result, (Json{{"value", {{"script", "document.title"}}}}));
  ipc::Reply refused = evaluate(kExtension, "fail");
  EXPECT_EQ(test::errorText(refused), "the popover is not shown");
  // An extension that never answers costs the caller a bounded wait, not a hang.
  ipc::Reply silent = evaluate(kExtension, "hang");
  ASSERT_TRUE(silent.error);
  EXPECT_NE(silent.error->message.find("did not answer"), std::string::npos)
      << silent.error->message;

  EXPECT_TRUE(evaluate("com.nobody.ext", "1").error);
  EXPECT_TRUE(evaluate(kExtension, 1).error) << "a script must be a string";
  EXPECT_TRUE(
      host.call("automation.popoverScreenshot", Json{{"extensionIdentifier", kExtension}}).error)
      << "a screenshot needs a path";

  // A relative path is resolved where safari-host runs, whatever the extension's folder.
  std::size_t mark = host.extensionLog().size();
  host.callOk("automation.popoverScreenshot",
              Json{{"extensionIdentifier", kExtension}, {"path", "popover.png"}});
  std::optional<Json> asked = host.waitForLog(isCall("automation.popoverScreenshot"), mark);
  ASSERT_TRUE(asked);
  std::string path = (*asked)["args"].value("path", "");
  EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
  EXPECT_EQ(std::filesystem::path(path).filename(), "popover.png");

  host.callOk("automation.setExtensionEnabled",
              Json{{"extensionIdentifier", kExtension}, {"enabled", false}});
  ipc::Reply disabled = evaluate(kExtension, "document.title");
  ASSERT_TRUE(disabled.error);
  EXPECT_NE(disabled.error->message.find("not enabled"), std::string::npos)
      << disabled.error->message;
}

}  // namespace
}  // namespace qv::test
