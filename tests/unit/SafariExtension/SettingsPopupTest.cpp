#include "SafariExtension/SafariExtensionSettingPopupViewController.h"

#include <gtest/gtest.h>

#include "ExtensionFixture.h"
#include "SafariExtension/SafariExtensionHandler.h"

namespace qv {
namespace {

using testing::error;
using testing::ExtensionFixture;
using testing::FakePopoverWindow;
using testing::FakeWebView;
using testing::Logged;
using testing::RecordingSignInFlow;
using Popup = SafariExtensionSettingPopupViewController;
using Strings = std::vector<std::string>;

constexpr const char* styleSheet = ".popup { color: red; }";

std::string popupCall(const std::string& nameLiteral, const std::string& jsonLiteral) {
  return "window.settingsPopupExposedApi.appMessageHandler(" + nameLiteral + ", " + jsonLiteral +
         ")";
}

Logged invalid(const std::string& name) {
  return error("settingPopup.handleMessage.invalidMessage", name);
}

// The popup installed in the background page host's popover view, over fakes.
class SettingsPopupTest : public ExtensionFixture {
 protected:
  void build() {
    popup = std::make_shared<Popup>(*env, browser, signIn);
    makeHost(BackgroundPageHooks{signIn, popup, nullptr});
    window = webViews->lastPopoverWindow();
    ASSERT_TRUE(window);
    view = window->contentView();
    ASSERT_TRUE(view);
  }
  void SetUp() override { build(); }

  void post(const std::string& name, const std::string& body) {
    EXPECT_TRUE(view->postMessage(name, Json::parse(body))) << name;
  }

  std::shared_ptr<RecordingSignInFlow> signIn =
      std::make_shared<RecordingSignInFlow>(*fakes.mainQueue);
  std::shared_ptr<Popup> popup;
  FakePopoverWindow* window = nullptr;
  FakeWebView* view = nullptr;
};

TEST_F(SettingsPopupTest, installsThePopupPageIntoThePopoversView) {
  EXPECT_EQ(view->handlerNames(), (Strings{"sendToBgFromSettingsPopup", "settingPopupReady",
                                           "openUrl", "setPopupSize", "beginOAuth", "closePopup"}));
  EXPECT_EQ(view->userScripts(), Strings{"/* popup script */"});
  std::string expectedPage =
      "<!doctype html>\n"
      "<html lang=\"en\" class=\"qv-popup-wrapper\">\n"
      "<head>\n"
      "<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\" />\n"
      "<meta charset=\"UTF-8\">\n"
      "<title>Settings Popup</title>\n"
      "<style>\n" +
      std::string(styleSheet) +
      "\n</style>\n"
      "</head>\n"
      "<body class=\"qv-popup-wrapper\">\n"
      "<div class=\"popup\" style='margin:0;overflow:hidden;min-height:200px;'></div>\n"
      "</body>\n"
      "</html>";
  ASSERT_EQ(view->loads().size(), 1u);
  EXPECT_EQ(view->loads()[0], (FakeWebView::Load{expectedPage, "https://test.example/popup"}));

  // The style sheet sits between 182 fixed characters and 142 more, verbatim.
  std::string sheet = "a{}\nb { c: d }";
  std::string page = Popup::pageHtml(sheet);
  ASSERT_EQ(page.size(), 182 + sheet.size() + 142);
  EXPECT_TRUE(page.substr(0, 182).ends_with("<style>\n"));
  EXPECT_EQ(page.substr(182, sheet.size()), sheet);
  EXPECT_TRUE(page.substr(182 + sheet.size()).starts_with("\n</style>\n"));
  EXPECT_TRUE(page.ends_with("</html>"));

  // The view starts hidden at the host's size.
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->contentSize(), (ContentSize{348, 467}));
  EXPECT_EQ(host->preferredContentSize(), (ContentSize{348, 467}));
  EXPECT_TRUE(logs().empty());
}

TEST_F(SettingsPopupTest, unreadableResourcesAreLoggedAndLeaveThePopupEmpty) {
  host.reset();
  EXPECT_EQ(popup->settingPopupWebView(), nullptr);  // the host took it out again
  fakes.bundle->addUnreadableResource("Quorvane-popup", "js");
  build();
  EXPECT_TRUE(view->userScripts().empty());
  EXPECT_EQ(view->loads().size(), 1u);  // the page loads without the script

  host.reset();
  useExtensionBundle(fakes);
  fakes.bundle->addUnreadableResource("Quorvane-popup.styles", "css");
  env = std::make_unique<Env>(fakes.platform());
  build();
  EXPECT_EQ(view->userScripts().size(), 1u);
  EXPECT_TRUE(view->loads().empty());
  EXPECT_EQ(view->handlerNames().size(), 6u);

  EXPECT_EQ(logs(),
            (std::vector{error("settingPopup.webView.init.scripts", "Permission denied"),
                         error("settingPopup.webView.init.loadTemplate", "Permission denied")}));
}

TEST_F(SettingsPopupTest, messagesWaitForReadinessAndAreReplayedByEveryReady) {
  popup->sendToSettingsPopup("first", Json{{"json", R"({"n":1})"}});
  popup->sendToSettingsPopup("second", Json{{"json", R"({"n":2})"}});
  popup->sendToSettingsPopup("number", Json{{"json", 3}});  // not checked before ready
  EXPECT_TRUE(view->evaluations().empty());
  EXPECT_EQ(popup->settingsPopupMessageQueue().size(), 3u);
  EXPECT_TRUE(logs().empty());

  post("settingPopupReady", "null");
  Strings expected = {popupCall(R"("first")", R"("{\"n\":1}")"),
                      popupCall(R"("second")", R"("{\"n\":2}")")};
  EXPECT_EQ(view->evaluations(), expected);
  EXPECT_EQ(logs(), (std::vector{error("settingPopup.sendToSettingsPopup", "Invalid json field")}));

  // Once ready, messages go straight through and are not queued.
  popup->sendToSettingsPopup("third", Json{{"json", "[]"}});
  EXPECT_EQ(view->evaluations().back(), popupCall(R"("third")", R"("[]")"));
  EXPECT_EQ(popup->settingsPopupMessageQueue().size(), 3u);

  // A reloaded popup that is ready again gets the early ones again.
  view->clearEvaluations();
  post("settingPopupReady", "{}");
  EXPECT_EQ(view->evaluations(), expected);
  EXPECT_TRUE(popup->isSettingPopupPageReady());
}

TEST_F(SettingsPopupTest, aCrashedPopupIsReloadedAndGetsWhatWaitedOnce) {
  popup->sendToSettingsPopup("early", Json{{"json", "1"}});
  post("settingPopupReady", "null");
  view->clearEvaluations();

  ASSERT_TRUE(view->endWebProcess({"lost()"}));
  EXPECT_FALSE(popup->isSettingPopupPageReady());
  EXPECT_EQ(view->loads().size(), 2u);
  EXPECT_EQ(view->loads().back().html, view->loads().front().html);
  popup->sendToSettingsPopup("during", Json{{"json", "2"}});
  popup->sendToSettingsPopup("broken", Json{{"json", 3}});
  EXPECT_EQ(logs(), (std::vector{error("settingPopup.sendToSettingsPopup", "Invalid json field")}));
  EXPECT_TRUE(view->evaluations().empty());
  EXPECT_EQ(popup->settingsPopupMessageQueue().size(), 1u);

  post("settingPopupReady", "null");
  EXPECT_EQ(view->evaluations(), (Strings{popupCall(R"("early")", R"("1")"), "lost()",
                                          popupCall(R"("during")", R"("2")")}));
  view->clearEvaluations();
  post("settingPopupReady", "null");
  EXPECT_EQ(view->evaluations(), Strings{popupCall(R"("early")", R"("1")")});
}

TEST_F(SettingsPopupTest, readyMessagesWithoutAJsonStringAreLoggedAndDropped) {
  post("settingPopupReady", "{}");
  popup->sendToSettingsPopup("a", std::nullopt);
  popup->sendToSettingsPopup("b", Json::object());
  popup->sendToSettingsPopup("c", Json{{"json", Json{{"k", 1}}}});
  popup->sendToSettingsPopup("d", Json{{"other", "x"}});
  popup->sendToSettingsPopup("e", Json{{"json", "\xff"}});  // no literal for it
  EXPECT_TRUE(view->evaluations().empty());
  EXPECT_EQ(logs(),
            std::vector(5, error("settingPopup.sendToSettingsPopup", "Invalid json field")));
}

TEST_F(SettingsPopupTest, nameAndJsonReachThePopupAsEscapedStringLiterals) {
  post("settingPopupReady", "{}");
  // Each would end a single-quoted literal, or a line, if inserted as it is.
  popup->sendToSettingsPopup("it's \"n\"\\",
                             Json{{"json", "{\"s\":\"a'b\\\\c\"}\n\xE2\x80\xA8\xE2\x80\xA9"}});
  ASSERT_EQ(view->evaluations().size(), 1u);
  EXPECT_EQ(view->evaluations()[0],
            popupCall(R"("it's \"n\"\\")", R"("{\"s\":\"a'b\\\\c\"}\n\u2028\u2029")"));
}

TEST_F(SettingsPopupTest, setPopupSizeResizesTheViewAndThePreferredContentSize) {
  post("setPopupSize", R"({"data":{"width":320,"height":480}})");
  EXPECT_EQ(window->contentSize(), (ContentSize{320, 480}));
  EXPECT_EQ(host->preferredContentSize(), (ContentSize{320, 480}));
  post("setPopupSize", R"({"data":{"width":300.5,"height":0}})");
  EXPECT_EQ(window->contentSize(), (ContentSize{300.5, 0}));

  for (const char* body :
       {R"({"width":1,"height":2})", R"({"data":{"width":"320","height":480}})",
        R"({"data":{"width":320}})", R"({"data":{"width":-1,"height":480}})", R"([320,480])"}) {
    post("setPopupSize", body);
  }
  EXPECT_EQ(window->contentSize(), (ContentSize{300.5, 0}));
  EXPECT_EQ(host->preferredContentSize(), (ContentSize{300.5, 0}));
  EXPECT_EQ(logs(), std::vector(5, invalid("setPopupSize")));
}

TEST_F(SettingsPopupTest, openUrlOpensAnActiveTabInTheActiveWindowOnlyForAUrl) {
  auto front = browser->addWindow();
  post("openUrl", R"({"data":{"json":"https://help.example/a?b=c"}})");
  EXPECT_EQ(browser->calls(),
            (Strings{"getActiveWindow",
                     front->id() + ".openTab https://help.example/a?b=c active=true"}));

  for (const char* body : {R"({"data":{"json":"not a url"}})", R"({"data":{"json":5}})",
                           R"({"data":"https://a.example/"})", R"({"json":"https://a.example/"})",
                           R"("https://a.example/")"}) {
    post("openUrl", body);
  }
  EXPECT_EQ(browser->calls().size(), 2u);
  EXPECT_EQ(logs(), std::vector(5, invalid("openUrl")));
}

TEST_F(SettingsPopupTest, beginOAuthKeepsThePopoverOpenAndClosePopupDismissesIt) {
  host->popoverWillShow();
  post("beginOAuth", "{}");
  EXPECT_EQ(signIn->calls, Strings{"begin"});  // in the current window, never a new one
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(browser->dismissPopoverCount(), 0u);

  post("closePopup", "null");
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(browser->dismissPopoverCount(), 1u);
}

TEST_F(SettingsPopupTest, sendToBgPassesThePayloadThroughTheContentPagesCheck) {
  post("sendToBgFromSettingsPopup", R"({"data":{"json":"{\"from\":\"popup\"}"}})");
  EXPECT_EQ(host->backgroundPageQueue(),
            Strings{R"(window.exposedApi.appMessage({"from":"popup"}))"});

  post("sendToBgFromSettingsPopup", R"({"data":{"json":"1); evil(("}})");
  post("sendToBgFromSettingsPopup", R"({"data":[1]})");
  post("sendToBgFromSettingsPopup", R"(["not", "a", "dictionary"])");
  EXPECT_EQ(host->backgroundPageQueue().size(), 1u);
  EXPECT_EQ(logs(), (std::vector{error("page.passToBgPage", "Invalid json field"),
                                 error("page.passToBgPage", "Invalid json field"),
                                 invalid("sendToBgFromSettingsPopup")}));
}

TEST_F(SettingsPopupTest, unknownMessageNamesAreLogged) {
  popup->userContentController("settingsPopupReady", Json::object());
  popup->userContentController("", Json());
  EXPECT_FALSE(popup->isSettingPopupPageReady());
  EXPECT_EQ(logs(), (std::vector{
                        error("settingPopup.handleMessage.unknownMessageName",
                              "Message name: settingsPopupReady"),
                        error("settingPopup.handleMessage.unknownMessageName", "Message name: ")}));
}

TEST_F(SettingsPopupTest, theBrowsersPopoverEventsShowAndHideTheWindowOnTheMainQueue) {
  host.reset();
  auto shared = std::make_shared<SharedViewController>(*env, extensionPlatform(), registry);
  shared->setHooks(BackgroundPageHooks{signIn, popup, nullptr});
  SafariExtensionHandler handler(*env, browser, registry, shared, signIn);
  fakes.mainQueue->runUntilIdle();
  window = webViews->lastPopoverWindow();
  ASSERT_EQ(popup->settingPopupWebView(), window->contentView());

  std::thread([&] { handler.popoverWillShow(nullptr); }).join();
  EXPECT_FALSE(window->isVisible());
  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(window->isVisible());
  std::thread([&] { handler.popoverDidClose(nullptr); }).join();
  fakes.mainQueue->runUntilIdle();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(browser->dismissPopoverCount(), 0u);  // the browser closed it already
  EXPECT_EQ(window->offMainThreadCalls(), 0u);

  // A popup installed later takes the place of the first.
  auto replacement = std::make_shared<Popup>(*env, browser, signIn);
  shared->setHooks(BackgroundPageHooks{signIn, replacement, nullptr});
  EXPECT_EQ(popup->settingPopupWebView(), nullptr);
  EXPECT_EQ(replacement->settingPopupWebView(), window->contentView());
  EXPECT_EQ(window->contentViewsMade(), 2u);
}

TEST(SettingsPopupDeathTest, stopsWhenAPopupResourceIsMissing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto build = [](const std::string& omit) {
    testing::TestPlatform fakes;
    testing::useExtensionBundle(fakes, {omit});
    Env env(fakes.platform());
    auto browser = std::make_shared<testing::FakeBrowser>();
    auto popup = std::make_shared<Popup>(env, browser, nullptr);
    SafariExtensionViewController host(
        env,
        ExtensionPlatform{browser, std::make_shared<testing::FakeWebViewFactory>(fakes.mainQueue)},
        std::make_shared<PageRegistry>(), BackgroundPageHooks{nullptr, popup, nullptr});
  };
  EXPECT_DEATH(build("Quorvane-popup.js"), "no Quorvane-popup.js");
  EXPECT_DEATH(build("Quorvane-popup.styles.css"), "no Quorvane-popup.styles.css");
}

}  // namespace
}  // namespace qv
