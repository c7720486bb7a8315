// The whole system at once: service stand-in, safari-host, the extension process with the
// assistant's scripts in WebKit, and the companion, driven as a person would through
// safari-host's control socket.

#include <gdk/gdk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

#include "tests/support/gtk/AccessibilityTree.h"
#include "tests/support/IpcText.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/E2eSystem.h"
#include "tests/support/gtk/PngImages.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

std::vector<Json> signInTabs(E2eSystem& system) {
  std::vector<Json> found;
  for (const Json& tab : system.tabs()) {
    if (tab.value("url", "").rfind(system.service().origin() + "/signin", 0) == 0) {
      found.push_back(tab);
    }
  }
  return found;
}

ipc::Reply evaluatePopover(E2eSystem& system, const std::string& script) {
  return system.host().call("automation.evaluatePopover",
                            Json{{"extensionIdentifier", kExtensionId}, {"script", script}});
}

bool showPopup(E2eSystem& system, const std::string& window,
               std::chrono::milliseconds timeout = 30s);

// `script` evaluated in the popup of the popover shown on `window`. Without a window
// manager, and slowed down enough (sanitizer builds under load), the browser window can
// take focus back after the popover showed, which closes the popover as a click outside
// would: it is shown again, once.
ipc::Reply popupReply(E2eSystem& system, const std::string& window, const std::string& script) {
  ipc::Reply reply = evaluatePopover(system, script);
  if (reply.error && reply.error->message.find("not shown") != std::string::npos &&
      showPopup(system, window)) {
    reply = evaluatePopover(system, script);
  }
  return reply;
}

// The value of `script` in the popup; null, with a test failure, on an error.
Json popupValue(E2eSystem& system, const std::string& window, const std::string& script) {
  ipc::Reply reply = popupReply(system, window, script);
  if (!reply.result) {
    ADD_FAILURE() << "evaluatePopover " << script << ": "
                  << (reply.error ? reply.error->message : "?");
    return nullptr;
  }
  return reply.result->value("value", Json());
}

// Clicks the toolbar item until the popover shows and the popup in it has its Sign in
// button; true once it does.
bool showPopup(E2eSystem& system, const std::string& window, std::chrono::milliseconds timeout) {
  Json item{{"window", window}, {"extensionIdentifier", kExtensionId}};
  auto lastClick = std::chrono::steady_clock::time_point();
  return waitUntil(
      [&] {
        ipc::Reply state = system.host().call("automation.toolbarItem", item);
        if (!state.result) return false;
        if (!state.result->value("popoverShown", false)) {
          // A click right after focus closed the popover is ignored: click again later.
          if (std::chrono::steady_clock::now() - lastClick > 2s) {
            system.host().call("automation.clickToolbarItem", item);
            lastClick = std::chrono::steady_clock::now();
          }
          return false;
        }
        ipc::Reply ready =
            evaluatePopover(system, "document.querySelector('.qv-primary') !== null");
        return ready.result && ready.result->value("value", false);
      },
      timeout);
}

// Starts the system, enables the extension and opens the stand-in's index page with the
// assistant in it: the page's {window, tab}, or null (with a test failure).
Json startOnAssistedPage(E2eSystem& system, bool withCompanion) {
  if (!system.start(withCompanion) || !system.enableExtension()) return nullptr;
  return system.openAssistedPage("/");
}

TEST(EndToEnd, TypicalRequestReturnsToTheSamePage) {
  E2eSystem system;
  Json first = startOnAssistedPage(system, false);
  ASSERT_FALSE(first.is_null());
  // A second registered page must not receive the first page's answer.
  Json second = system.openAssistedPage("/extension-success");
  ASSERT_FALSE(second.is_null());
  std::string tab = first["tab"];

  // The content script's world only: page scripts never see the assistant.
  EXPECT_EQ(system.evaluate(tab, "typeof window.qvAssistant", "page"), Json("undefined"));
  system.evaluate(tab, "window.qvAssistant.echo('hi'); true", "extension");
  Json echoes;
  bool arrived = waitUntil(
      [&] {
        echoes = system.evaluate(tab,
                                 "window.qvAssistant.received.filter((m) => m.name === "
                                 "'qv.echo').map((m) => m.message.text)",
                                 "extension");
        return echoes.is_array() && !echoes.empty();
      },
      30s);
  ASSERT_TRUE(arrived) << "no echo came back to the page";
  EXPECT_EQ(echoes, Json::array({"hi"}));
  EXPECT_EQ(system.evaluate(second["tab"],
                            "window.qvAssistant.received.filter((m) => m.name "
                            "=== 'qv.echo').length",
                            "extension"),
            Json(0));
}

TEST(EndToEnd, BadgeShowsTheActivePagesWordCount) {
  E2eSystem system;
  Json index = startOnAssistedPage(system, false);
  ASSERT_FALSE(index.is_null());
  std::string window = index["window"];
  // The page's own words: the assistant's note, once shown, is not part of the page.
  const std::string countWords =
      "(() => { const body = document.body.cloneNode(true);"
      " body.querySelectorAll('.qv-assistant-note, script, style').forEach((n) => n.remove());"
      " return (body.textContent.match(/\\S+/g) || []).length; })()";

  auto badge = [&] {
    ipc::Reply reply = system.host().call(
        "automation.toolbarItem", Json{{"window", window}, {"extensionIdentifier", kExtensionId}});
    return reply.result ? reply.result->value("badgeText", "") : std::string("?");
  };
  // The stand-in's pages are short: the badge shows the plain number.
  Json indexWords = system.evaluate(index["tab"], countWords, "page");
  ASSERT_TRUE(indexWords.is_number_integer());
  std::string expected = std::to_string(indexWords.get<int>());
  EXPECT_TRUE(waitUntil([&] { return badge() == expected; }, 30s))
      << "badge " << badge() << ", page has " << expected << " words";

  // A second tab in the same window with another count: the badge follows the front tab.
  Json opened = system.host().callOk("automation.openTab",
                                     Json{{"window", window},
                                          {"url", system.service().origin() + "/extension-success"},
                                          {"activate", true}});
  ASSERT_FALSE(opened.is_null());
  system.host().callOk("automation.waitForLoad",
                       Json{{"tab", opened["tab"]}, {"timeoutMs", 30000}});
  Json otherWords;
  ASSERT_TRUE(waitUntil(
      [&] {
        otherWords = system.evaluate(opened["tab"], countWords, "page");
        return otherWords.is_number_integer() && otherWords.get<int>() > 0;
      },
      20s));
  ASSERT_NE(otherWords, indexWords) << "the test needs pages of different lengths";
  std::string other = std::to_string(otherWords.get<int>());
  EXPECT_TRUE(waitUntil([&] { return badge() == other; }, 30s))
      << "badge " << badge() << " after switching; the front page has " << other << " words";

  system.host().callOk("automation.activateTab", Json{{"tab", index["tab"]}});
  EXPECT_TRUE(waitUntil([&] { return badge() == expected; }, 30s))
      << "badge " << badge() << " after switching back";
}

TEST(EndToEnd, AutomationReachesThePopupInTheExtensionsPopover) {
  E2eSystem system;
  Json page = startOnAssistedPage(system, false);
  ASSERT_FALSE(page.is_null());
  TempDir shots;

  // The extension runs, but shows no popover yet.
  ipc::Reply hidden = evaluatePopover(system, "1");
  ASSERT_TRUE(hidden.error);
  EXPECT_NE(hidden.error->message.find("not shown"), std::string::npos) << hidden.error->message;
  EXPECT_TRUE(
      system.host()
          .call("automation.popoverScreenshot",
                Json{{"extensionIdentifier", kExtensionId}, {"path", shots.path() + "/hidden.png"}})
          .error);
  EXPECT_TRUE(system.host()
                  .call("automation.evaluatePopover",
                        Json{{"extensionIdentifier", "com.nobody.ext"}, {"script", "1"}})
                  .error);

  const std::string window = page["window"];
  ASSERT_TRUE(showPopup(system, window)) << "the popup never answered in its popover";
  EXPECT_EQ(popupValue(system, window, "document.querySelector('.qv-primary').textContent"),
            "Sign in");
  EXPECT_EQ(popupValue(system, window, "document.querySelector('.qv-who').textContent"),
            "Not signed in");
  EXPECT_EQ(popupValue(system, window, "undefined"), Json(nullptr));
  ipc::Reply thrown = popupReply(system, window, "throw new Error('popup-boom')");
  ASSERT_TRUE(thrown.error);
  EXPECT_NE(thrown.error->message.find("popup-boom"), std::string::npos) << thrown.error->message;

  // The screenshot is the popup as drawn: its size, with the Sign in button's colour. A
  // window just shown has no size until its first layout.
  Json view;
  ASSERT_TRUE(waitUntil(
      [&] {
        view = popupValue(system, window,
                          "(() => { const b = document.querySelector('.qv-primary');"
                          " const r = b.getBoundingClientRect();"
                          " return {width: innerWidth, height: innerHeight, area: r.width * "
                          "r.height, rgb: getComputedStyle(b).backgroundColor.match(/\\d+/g)"
                          ".slice(0, 3).map(Number)}; })()");
        return view.is_object() && view["width"] > 0 && view["height"] > 0 && view["area"] > 0;
      },
      10s))
      << view.dump();
  ASSERT_EQ(view["rgb"].size(), 3u) << view.dump();
  const std::string path = shots.path() + "/popup.png";
  ipc::Reply shot;
  ASSERT_TRUE(waitUntil(
      [&] {
        shot = system.host().call("automation.popoverScreenshot",
                                  Json{{"extensionIdentifier", kExtensionId}, {"path", path}});
        return shot.result.has_value();
      },
      10s))
      << test::errorText(shot);
  GdkTexture* texture = gdk_texture_new_from_filename(path.c_str(), nullptr);
  ASSERT_NE(texture, nullptr) << "not a PNG: " << path;
  EXPECT_EQ(gdk_texture_get_width(texture), view["width"].get<int>());
  EXPECT_EQ(gdk_texture_get_height(texture), view["height"].get<int>());
  g_object_unref(texture);
  long buttonPixels =
      countPixels(path, view["rgb"][0].get<unsigned char>(), view["rgb"][1].get<unsigned char>(),
                  view["rgb"][2].get<unsigned char>());
  EXPECT_GE(buttonPixels, static_cast<long>(view["area"].get<double>() / 2)) << view.dump();
}

TEST(EndToEnd, SignInRoadStoresTheUserAndShowsTheSuccessPage) {
  if (!companionBuilt()) GTEST_SKIP() << "the companion executable is not built yet";
  E2eSystem system;
  Json page = startOnAssistedPage(system, true);
  ASSERT_FALSE(page.is_null());
  std::string window = page["window"];

  // Enabling makes the companion ask for a login tab once. Let that come first: a later
  // sign-in request replaces the one before it, and this road starts at the popup.
  waitUntil([&] { return !signInTabs(system).empty(); }, 15s);
  std::set<std::string> earlier;
  for (const Json& tab : signInTabs(system)) earlier.insert(tab["tab"].get<std::string>());
  ASSERT_TRUE(showPopup(system, window)) << "the popup never answered in its popover";
  EXPECT_EQ(popupValue(system, window, "document.querySelector('.qv-who').textContent"),
            "Not signed in");
  ASSERT_EQ(popupValue(system, window, "document.querySelector('.qv-primary').click(); true"),
            true);
  std::string login;
  ASSERT_TRUE(waitUntil(
      [&] {
        for (const Json& tab : signInTabs(system)) {
          if (earlier.count(tab["tab"].get<std::string>()) == 0) login = tab["tab"];
        }
        return !login.empty();
      },
      30s))
      << "the popup's Sign in opened no login tab";
  system.host().callOk("automation.waitForLoad", Json{{"tab", login}, {"timeoutMs", 30000}});
  ASSERT_TRUE(waitUntil(
      [&] {
        return system.evaluate(login, "document.querySelector('#signin') !== null", "page") ==
               Json(true);
      },
      20s));
  system.evaluate(login, "document.querySelector('#signin').click(); true", "page");

  // Callback → desktop → companion → shared store → extension poll → code exchange.
  const std::string success = system.service().origin() + "/extension-success";
  bool succeeded = waitUntil(
      [&] {
        for (const Json& tab : system.tabs()) {
          if (tab["tab"] == login && tab.value("url", "").rfind(success, 0) == 0) return true;
        }
        return false;
      },
      60s);
  ASSERT_TRUE(succeeded) << "the login tab never showed the success page";

  std::optional<std::string> userInfo;
  ASSERT_TRUE(
      waitUntil([&] { return (userInfo = system.readShared("userInfo")).has_value(); }, 10s));
  Json stored = Json::parse(*userInfo, nullptr, false);
  ASSERT_TRUE(stored.is_array() && stored.size() == 1) << *userInfo;
  EXPECT_FALSE(stored[0].value("userId", "").empty()) << *userInfo;
  EXPECT_EQ(stored[0].value("isAnonymous", true), false) << *userInfo;

  // The popup hears who signed in from the background page. Showing the login tab may
  // have closed the popover; open it again to read it.
  std::string who;
  EXPECT_TRUE(waitUntil(
      [&] {
        if (!showPopup(system, window, 10s)) return false;
        ipc::Reply text = evaluatePopover(system, "document.querySelector('.qv-who').textContent");
        who = text.result ? text.result->value("value", "") : "";
        return who.rfind("Signed in as ", 0) == 0 && who.size() > 13;
      },
      60s))
      << "the popup says " << who;

  // The page shows who signed in, in a note its own scripts cannot read.
  std::string name = who.substr(13);
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::string tab = page["tab"];
  Json note;
  EXPECT_TRUE(waitUntil(
      [&] {
        note = system.evaluate(tab, "window.qvAssistant.noteText()", "extension");
        return note.is_string() && note.get<std::string>().find(name) != std::string::npos;
      },
      30s))
      << "the page's note says " << note.dump();
  Json quoted = Json(name);
  EXPECT_EQ(system.evaluate(tab,
                            "[document.documentElement.innerText, document.documentElement.outerHTML,"
                            " ...[...document.querySelectorAll('*')].map((e) => e.shadowRoot ?"
                            " e.shadowRoot.innerHTML : '')].some((t) => t.includes(" +
                                quoted.dump() + "))",
                            "page"),
            Json(false))
      << "the page's own scripts can read the user's name";

  // Back on the page's tab: its window's toolbar item shows the signed-in image and the
  // page's word count, although sign-in happened with another tab in front.
  system.host().callOk("automation.activateTab", Json{{"tab", page["tab"]}});
  Json item;
  EXPECT_TRUE(waitUntil(
      [&] {
        item =
            system.host().callOk("automation.toolbarItem",
                                 Json{{"window", window}, {"extensionIdentifier", kExtensionId}});
        // Either may still be null (unset) here.
        return item["imageName"] == "BadgeSignedIn.png" && item["badgeText"].is_string() &&
               !item["badgeText"].get<std::string>().empty();
      },
      30s))
      << item.dump();

  std::vector<Json> exchanges = system.records("POST", "/oauth/token");
  ASSERT_EQ(exchanges.size(), 1u);
  // A code works once: the same exchange again is refused.
  auto client = system.service().client();
  auto replay =
      client->Post("/oauth/token", exchanges.front().value("body", ""), "application/json");
  ASSERT_TRUE(replay);
  EXPECT_EQ(replay->status, 400);
}

TEST(EndToEnd, EnablingSwitchesTheCompanionToAllSetAndOpensTheLoginTabOnce) {
  if (!companionBuilt()) GTEST_SKIP() << "the companion executable is not built yet";
  // What a person (or a screen reader) sees on each of the companion's two panels.
  const std::string allSet = "You\u2019re all set! ";
  const std::string enable = "Open settings to enable Quorvane";
  // First, so that the whole system joins it.
  ASSERT_TRUE(startAccessibilityBus()) << "no accessibility bus: dbus-daemon and at-spi2-core?";
  E2eSystem system;
  ASSERT_TRUE(system.start(true));
  std::optional<pid_t> companion = system.companionPid();
  ASSERT_TRUE(companion);
  std::vector<std::string> texts;
  auto shows = [&](const std::string& wanted, const std::string& unwanted) {
    texts = showingTexts(*companion).value_or(std::vector<std::string>{});
    return anyContains(texts, wanted) && !anyContains(texts, unwanted);
  };
  ASSERT_TRUE(waitUntil([&] { return shows(enable, allSet); }, 30s))
      << "the companion never showed the enable panel alone; on screen: " << Json(texts).dump();

  ASSERT_TRUE(system.enableExtension());
  // From the enabling call's answer; the companion polls once a second.
  auto enabledAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitUntil([&] { return shows(allSet, enable); }, 10s))
      << "the companion never switched to the all-set panel; on screen: " << Json(texts).dump();
  auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - enabledAt)
                   .count();
  std::printf("the companion showed the all-set panel %lld ms after enabling\n",
              static_cast<long long>(delay));
  RecordProperty("allSetDelayMs", std::to_string(delay));

  std::vector<Json> logins;
  ASSERT_TRUE(waitUntil([&] { return !(logins = signInTabs(system)).empty(); }, 30s))
      << "enabling the extension opened no login tab";
  // A second request would come within the companion's and the extension's one-second
  // polls; several of them pass before this observation ends.
  std::set<std::string> seen = {logins.front()["tab"].get<std::string>()};
  std::string history;
  auto until = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < until) {
    for (const Json& tab : system.tabs()) {
      history += tab.dump() + "\n";
      if (tab.value("url", "").find("/signin") != std::string::npos) seen.insert(tab["tab"]);
    }
  }
  EXPECT_EQ(seen.size(), 1u) << "login tabs seen: " << Json(seen).dump() << "\n"
                             << history.substr(history.size() > 4000 ? history.size() - 4000 : 0);

  system.host().callOk("automation.setExtensionEnabled",
                       Json{{"extensionIdentifier", kExtensionId}, {"enabled", false}});
  EXPECT_TRUE(waitUntil([&] { return shows(enable, allSet); }, 10s))
      << "disabling did not bring the enable panel back; on screen: " << Json(texts).dump();
}

TEST(EndToEnd, AnalyticsAndLogsCarryTheCompanionsContainerId) {
  if (!companionBuilt()) GTEST_SKIP() << "the companion executable is not built yet";
  E2eSystem system;
  ASSERT_TRUE(system.start(true));

  std::optional<std::string> stored;
  ASSERT_TRUE(waitUntil(
      [&] { return (stored = system.readShared("companionContainerId")).has_value(); }, 60s))
      << "the companion stored no container id";
  Json value = Json::parse(*stored, nullptr, false);
  ASSERT_TRUE(value.is_array() && value.size() == 1 && value[0].is_string()) << *stored;
  const std::string containerId = value[0];
  ASSERT_FALSE(containerId.empty());

  auto carriesId = [&](const std::string& method, const std::string& path) {
    for (const Json& record : system.records(method, path)) {
      if (record.value("body", "").find(containerId) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(waitUntil([&] { return carriesId("POST", "/"); }, 60s))
      << "no application-start event with container id " << containerId;

  // An extension failure: passToBgPage with text that is not JSON is logged remotely.
  ASSERT_TRUE(system.enableExtension());
  Json page = system.openAssistedPage("/");
  ASSERT_FALSE(page.is_null());
  system.evaluate(page["tab"],
                  "safari.extension.dispatchMessage('passToBgPage', {meta: {srcPageId: "
                  "window.qvAssistant.pageId}, data: {json: '{not json'}}); true",
                  "extension");
  EXPECT_TRUE(waitUntil([&] { return carriesId("POST", "/logv2"); }, 60s))
      << "no extension log record with container id " << containerId;
}

}  // namespace
}  // namespace qv::test
