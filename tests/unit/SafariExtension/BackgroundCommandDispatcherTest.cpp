#include <gtest/gtest.h>

#include <thread>

#include "ExtensionFixture.h"
#include "platform/testing/RecordingUrlSession.h"

namespace qv {
namespace {

using testing::DispatchedMessage;
using testing::error;
using testing::ExtensionFixture;
using testing::FakeWebView;
using testing::Logged;
using testing::RecordingSettingsPopup;
using testing::RecordingSignInFlow;
using testing::RecordingUrlSession;
using Strings = std::vector<std::string>;

Logged invalid(std::string text) {
  return error("bg.webView.handleMessage.invalidArguments", std::move(text));
}

class DispatcherTest : public ExtensionFixture {
 protected:
  DispatcherTest() : view(makeHost(BackgroundPageHooks{signIn, popup, {}})) {}

  void post(const std::string& handler, const char* body) {
    ASSERT_TRUE(view.postMessage(handler, Json::parse(body))) << handler;
  }

  std::shared_ptr<RecordingSignInFlow> signIn =
      std::make_shared<RecordingSignInFlow>(*fakes.mainQueue);
  std::shared_ptr<RecordingSettingsPopup> popup = std::make_shared<RecordingSettingsPopup>();
  FakeWebView& view;
};

TEST_F(DispatcherTest, relaysToOneRegisteredPage) {
  auto page = browser->addWindow()->addTab("https://a.example/")->page();
  registry->registerPage("p1", page);

  post("sendToContentPage", R"({"name":"x","pageId":"p1","data":{"k":1}})");
  post("sendToContentPage", R"({"name":"y","pageId":"p1"})");
  EXPECT_EQ(page->messages(),
            (std::vector<DispatchedMessage>{{page->id(), "x", Json::parse(R"({"k":1})")},
                                            {page->id(), "y", std::nullopt}}));

  post("sendToContentPage", R"({"name":"x","data":{}})");
  post("sendToContentPage", R"({"name":"x","pageId":"p2"})");
  post("sendToContentPage", R"({"pageId":"p1"})");
  post("sendToContentPage", R"("not an object")");
  EXPECT_EQ(page->messages().size(), 2u);
  EXPECT_EQ(logs(), (std::vector{error("bg.webView.handleMessage.noPageId", "sendToContentPage"),
                                 error("page.sendToContentPage", "Unknown pageId"),
                                 invalid("sendToContentPage"), invalid("sendToContentPage")}));
}

TEST_F(DispatcherTest, relaysToTheActiveTabAndToEveryRegisteredPage) {
  post("sendToActiveTab", R"({"name":"nobody"})");  // no window: ends silently
  auto window = browser->addWindow();
  auto background = window->addTab("https://b.example/")->page();
  auto front = window->addTab("https://a.example/")->page();
  registry->registerPage("p1", background);
  registry->registerPage("p2", front);

  post("sendToActiveTab", R"({"name":"a","data":{"v":true}})");
  post("sendToAllContentPages", R"({"name":"all"})");
  post("sendToActiveTab", R"({"data":{}})");
  post("sendToAllContentPages", R"({})");

  EXPECT_EQ(front->messages(),
            (std::vector<DispatchedMessage>{{front->id(), "a", Json::parse(R"({"v":true})")},
                                            {front->id(), "all", std::nullopt}}));
  EXPECT_EQ(background->messages(),
            (std::vector<DispatchedMessage>{{background->id(), "all", std::nullopt}}));
  EXPECT_EQ(logs(), (std::vector{invalid("sendToActiveTab"), invalid("sendToAllContentPages")}));
}

TEST_F(DispatcherTest, fetchesTheBlacklistAndDeliversOnlyJsonToAReadyPage) {
  view.postMessage("ready", Json());
  auto fetch = [&](const std::string& url) {
    view.postMessage("fetchBlacklistConfig", Json{{"name", "f"}, {"data", {{"json", url}}}});
  };
  auto answer = [&](UrlTaskResult result) {
    // The network answers on its own thread; delivery waits for the main queue.
    std::thread network([&] { fakes.urlSession->completeNext(std::move(result)); });
    network.join();
    fakes.mainQueue->runUntilIdle();
  };

  fetch("https://cdn.test.example/blacklist.json");
  ASSERT_EQ(fetches().size(), 1u);
  EXPECT_EQ(fetches()[0].url, "https://cdn.test.example/blacklist.json");
  EXPECT_EQ(fetches()[0].method, "GET");
  EXPECT_TRUE(fetches()[0].headers.empty());
  EXPECT_TRUE(view.evaluations().empty());  // the command does not wait
  answer(RecordingUrlSession::http(500, R"({"sites":["x"]})"));
  EXPECT_EQ(view.evaluations(),
            Strings{R"(window.exposedApi.receiveBlacklistConfig({"sites":["x"]}))"});

  fetch("https://cdn.test.example/b");
  answer(RecordingUrlSession::http(200, "\xff\xfe not text"));
  EXPECT_EQ(view.evaluations().back(), "window.exposedApi.receiveBlacklistConfig({})");

  view.clearEvaluations();
  for (const char* body : {"<html>oops</html>", "1); alert(1); (", ""}) {
    fetch("https://cdn.test.example/b");
    answer(RecordingUrlSession::http(200, body));
  }
  fetch("https://cdn.test.example/b");
  answer(RecordingUrlSession::transportError("offline"));
  fetch("https://cdn.test.example/b");
  answer(UrlTaskResult{std::nullopt, HttpResponse{204, "", {}}, std::nullopt});
  EXPECT_TRUE(view.evaluations().empty());
  EXPECT_TRUE(logs().empty());
  EXPECT_EQ(view.offMainThreadCalls(), 0u);
}

TEST_F(DispatcherTest, blacklistForAPageThatIsNotReadyIsDropped) {
  view.postMessage("fetchBlacklistConfig",
                   Json::parse(R"({"name":"f","data":{"json":"https://cdn.test.example/b"}})"));
  fakes.urlSession->completeNext(RecordingUrlSession::http(200, "{}"));
  fakes.mainQueue->runUntilIdle();
  view.postMessage("ready", Json());
  EXPECT_TRUE(view.evaluations().empty());
}

TEST_F(DispatcherTest, blacklistFetchChecksItsArguments) {
  post("fetchBlacklistConfig", R"({"data":{"json":"https://a.example/"}})");
  post("fetchBlacklistConfig", R"({"name":"f","data":{"json":5}})");
  post("fetchBlacklistConfig", R"({"name":"f"})");
  post("fetchBlacklistConfig", R"({"name":"f","data":{"json":"no url here"}})");
  EXPECT_TRUE(fetches().empty());
  EXPECT_EQ(
      logs(),
      (std::vector{invalid("fetchBlacklistConfig"), invalid("fetchBlacklistConfig json"),
                   invalid("fetchBlacklistConfig json"), invalid("fetchBlacklistConfig json")}));
}

TEST_F(DispatcherTest, opensAndUpdatesTabs) {
  auto window = browser->addWindow();
  auto current = window->addTab("https://a.example/");

  post("openNewTab",
       R"({"name":"o","data":{"url":"https://n.example/1","activateOnOpen":"false"}})");
  EXPECT_EQ(window->tabs().size(), 2u);
  EXPECT_EQ(window->activeTab(), current);
  post("openNewTab", R"({"name":"o","data":{"url":"https://n.example/2","activateOnOpen":"YES"}})");
  EXPECT_EQ(window->activeTab()->page()->id(), window->tabs().back()->page()->id());

  post("updateCurrentTab", R"({"name":"u","data":{"url":"https://u.example/"}})");
  EXPECT_EQ(window->activeTab()->navigations(), Strings{"https://u.example/"});

  post("openNewTab", R"({"name":"o","data":{"url":"https://n.example/3"}})");
  post("openNewTab", R"({"name":"o","data":{"url":"https://n.example/3","activateOnOpen":true}})");
  post("openNewTab", R"({"name":"o","data":{"url":"::","activateOnOpen":"1"}})");
  post("openNewTab", R"({"data":{"url":"https://n.example/3","activateOnOpen":"1"}})");
  post("updateCurrentTab", R"({"name":"u","data":{"url":"relative/path"}})");
  post("updateCurrentTab", R"({"name":"u"})");
  EXPECT_EQ(window->tabs().size(), 3u);
  EXPECT_EQ(logs(), (std::vector{invalid("openNewTab"), invalid("openNewTab"),
                                 invalid("openNewTab"), invalid("openNewTab"),
                                 invalid("updateCurrentTab"), invalid("updateCurrentTab")}));

  browser->setActiveWindow(nullptr);
  post("updateCurrentTab", R"({"name":"u","data":{"url":"https://v.example/"}})");
  EXPECT_EQ(window->activeTab()->navigations().size(), 1u);
}

TEST_F(DispatcherTest, setsTheToolbarItemsImageAndBadge) {
  fakes.bundle->addResource("badge-on", "png", std::string("\x89PNG\r\n\x1a\n", 8));
  auto item = browser->addWindow()->toolbarItem();

  post("setBadge", R"({"name":"b","data":{"badgeName":"badge-on"}})");
  EXPECT_EQ(item->image(), toBytes(std::string("\x89PNG\r\n\x1a\n", 8)));
  post("setBadge", R"({"name":"b","data":{"badgeName":"missing"}})");
  EXPECT_EQ(item->image(), std::nullopt);  // no such image: the item's own
  EXPECT_EQ(item->setImageCount(), 2u);
  post("setBadgeText", R"({"name":"t","data":{"badgeText":"3"}})");
  EXPECT_EQ(item->badgeText(), "3");

  post("setBadge", R"({"data":{"badgeName":"badge-on"}})");
  post("setBadge", R"({"name":"b","data":{"badgeName":1}})");
  post("setBadgeText", R"({"name":"t","data":{}})");
  post("setBadgeText", R"({"data":{"badgeText":"9"}})");
  EXPECT_EQ(item->setImageCount(), 2u);
  EXPECT_EQ(item->badgeText(), "3");
  EXPECT_EQ(logs(), (std::vector{invalid("setBadge"), invalid("setBadge"), invalid("setBadgeText"),
                                 invalid("setBadgeText")}));
}

TEST_F(DispatcherTest, storesAndClearsTheSignedInUser) {
  post(
      "setUserInfo",
      R"({"name":"s","data":{"userId":"u1","isTestUser":false,"isAnonymous":true,"containerId":"c1"}})");
  EXPECT_EQ(env->sharedData->userInfo.value(), (UserInfo{"u1", false, true, "c1"}));
  EXPECT_EQ(env->sharedData->companionContainerId.value(), "c1");

  post(
      "setUserInfo",
      R"({"name":"s","data":{"userId":"u2","isTestUser":"true","isAnonymous":false,"containerId":"c2"}})");
  post("setUserInfo",
       R"({"name":"s","data":{"userId":"u2","isTestUser":true,"isAnonymous":false}})");
  post("setUserInfo",
       R"({"data":{"userId":"u2","isTestUser":true,"isAnonymous":false,"containerId":"c2"}})");
  EXPECT_EQ(env->sharedData->userInfo.value(), (UserInfo{"u1", false, true, "c1"}));
  EXPECT_EQ(logs(), std::vector(3, invalid("setUserInfo")));

  post("setUserInfo", R"({"name":"s"})");  // signed out
  EXPECT_EQ(env->sharedData->userInfo.value(), std::nullopt);
  EXPECT_EQ(env->sharedData->companionContainerId.value(), "c1");
}

TEST_F(DispatcherTest, handsSignInAndPopupCommandsToTheirHooks) {
  post("oauthComplete", R"({"name":"c"})");
  post("oauthComplete", R"({"name":"c","data":{"error":"denied"}})");
  post("oauthComplete", R"({"name":"c","data":{"error":404}})");
  post("sendToSettingsPopup", R"({"name":"settings","data":{"json":"{}"}})");
  post("sendToSettingsPopup", R"({"name":"bare"})");
  post("oauthComplete", R"({"data":{"error":"x"}})");
  post("sendToSettingsPopup", R"({"data":{}})");

  EXPECT_EQ(signIn->calls, (Strings{"complete <none>", "complete denied", "complete <none>"}));
  EXPECT_EQ(popup->received,
            (std::vector<DispatchedMessage>{{"", "settings", Json::parse(R"({"json":"{}"})")},
                                            {"", "bare", std::nullopt}}));
  EXPECT_EQ(logs(), (std::vector{invalid("oauthComplete"), invalid("sendToSettingsPopup")}));

  host->setHooks({});  // nobody listening: the commands do nothing
  post("oauthComplete", R"({"name":"c"})");
  post("sendToSettingsPopup", R"({"name":"bare"})");
  EXPECT_EQ(signIn->calls.size(), 3u);
  EXPECT_EQ(popup->received.size(), 2u);
}

}  // namespace
}  // namespace qv
