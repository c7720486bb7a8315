#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SafariExtension/Env.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionSettingPopupViewController.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "platform/linux/common/LinuxPlatform.h"
#include "platform/linux/safari/IpcSafari.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/linux/webkit/WebKitWebView.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"
#include "tests/support/gtk/GtkTestEnvironment.h"

namespace qv {
namespace {

const auto* const gtkEnvironment = testing::AddGlobalTestEnvironment(new test::GtkTestEnvironment);

// Reports every application message to the content page "recorder".
constexpr const char* backgroundScript = R"(
  window.exposedApi = {
    appMessage(message) {
      window.webkit.messageHandlers.sendToContentPage.postMessage(
          {name: "appMessage", pageId: "recorder", data: message});
    },
  };
  window.webkit.messageHandlers.ready.postMessage({});
)";

// Sends back to the background page what appMessageHandler received, exactly, and obeys
// two commands of its own.
constexpr const char* popupScript = R"(
  const post = (name, body) => window.webkit.messageHandlers[name].postMessage(body);
  window.settingsPopupExposedApi = {
    appMessageHandler(name, json) {
      if (name === "resize") return post("setPopupSize", {data: JSON.parse(json)});
      if (name === "close") return post("closePopup", {});
      post("sendToBgFromSettingsPopup", {data: {json: JSON.stringify(
          {popupReceived: [name, json], argumentCount: arguments.length,
           origin: location.origin, path: location.pathname,
           styled: getComputedStyle(document.querySelector(".popup")).color})}});
    },
  };
  post("settingPopupReady", {});
)";

// A content page that keeps what it is sent. Main thread only.
class RecordingPage final : public SafariPage {
 public:
  std::string id() const override { return "recorder-page"; }
  void getProperties(std::function<void(std::optional<SafariPageProperties>)> completion) override {
    completion(std::nullopt);
  }
  void dispatchMessageToScript(const std::string& /*name*/,
                               const std::optional<Json>& userInfo) override {
    if (userInfo) received.push_back(*userInfo);
  }

  std::vector<Json> received;
};

// The real host and popup on WebKitGTK, with a browser connection that is never there.
class SettingsPopupHostTest : public testing::Test {
 protected:
  void SetUp() override {
    test::ExtensionBundleContents contents{backgroundScript};
    contents.popupScript = popupScript;
    contents.popupStyleSheet = ".popup { color: rgb(1, 2, 3); }";
    std::string bundle = test::writeExtensionBundle(dir.path(), contents);
    ASSERT_FALSE(bundle.empty());
    env = std::make_unique<Env>(makeLinuxPlatform(std::make_shared<LinuxBundle>(bundle)));
    registry->registerPage("recorder", page);
    auto application = std::make_shared<IpcSafariApplication>(std::weak_ptr<ipc::Connection>());
    popup = std::make_shared<SafariExtensionSettingPopupViewController>(*env, application, nullptr);
    host = std::make_unique<SafariExtensionViewController>(
        *env, ExtensionPlatform{application, std::make_shared<WebKitWebViewFactory>()}, registry,
        BackgroundPageHooks{nullptr, popup, nullptr});
  }
  void TearDown() override {
    host.reset();  // before the popup's environment
    popup.reset();
    env.reset();
  }

  // What the popup reported receiving, once `count` reports have arrived.
  std::vector<Json> popupReports(std::size_t count) {
    EXPECT_TRUE(test::runUntil([&] { return page->received.size() >= count; }))
        << "got " << page->received.size() << " of " << count;
    return page->received;
  }

  test::TempDir dir;
  std::unique_ptr<Env> env;
  std::shared_ptr<PageRegistry> registry = std::make_shared<PageRegistry>();
  std::shared_ptr<RecordingPage> page = std::make_shared<RecordingPage>();
  std::shared_ptr<SafariExtensionSettingPopupViewController> popup;
  std::unique_ptr<SafariExtensionViewController> host;
};

TEST_F(SettingsPopupHostTest, messagesSentBeforeReadyArriveOnceAndInOrderAfterIt) {
  // Nothing has run yet, so the popup cannot be ready.
  ASSERT_FALSE(popup->isSettingPopupPageReady());
  popup->sendToSettingsPopup("first", Json{{"json", R"({"n":1})"}});
  popup->sendToSettingsPopup("second", Json{{"json", R"({"n":2})"}});
  ASSERT_TRUE(test::runUntil([&] { return popup->isSettingPopupPageReady(); }));
  popup->sendToSettingsPopup("last", Json{{"json", "{}"}});

  std::vector<Json> reports = popupReports(3);
  test::runFor(std::chrono::milliseconds(300));  // anything extra would show up now
  ASSERT_EQ(page->received.size(), 3u);
  EXPECT_EQ(reports[0]["popupReceived"], Json::parse(R"(["first", "{\"n\":1}"])"));
  EXPECT_EQ(reports[1]["popupReceived"], Json::parse(R"(["second", "{\"n\":2}"])"));
  EXPECT_EQ(reports[2]["popupReceived"], Json::parse(R"(["last", "{}"])"));
  // The page is the template with the style sheet, at https://<bare domain>/popup.
  EXPECT_EQ(reports[0]["argumentCount"], 2);
  EXPECT_EQ(reports[0]["origin"], "https://quorvane.test");
  EXPECT_EQ(reports[0]["path"], "/popup");
  EXPECT_EQ(reports[0]["styled"], "rgb(1, 2, 3)");
}

TEST_F(SettingsPopupHostTest, nameAndJsonArriveExactlyWhateverTheyHold) {
  ASSERT_TRUE(test::runUntil([&] { return popup->isSettingPopupPageReady(); }));
  const std::string name = "it's \"odd\" \\ </script>\n";
  const std::string json =
      "{\"s\":\"it's \\\"q\\\" \\\\ \xE2\x80\xA8 \xE2\x80\xA9\"}');alert(1);('";
  popup->sendToSettingsPopup(name, Json{{"json", json}});
  std::vector<Json> reports = popupReports(1);
  EXPECT_EQ(reports[0]["popupReceived"], Json::array({name, json}));
  EXPECT_EQ(reports[0]["argumentCount"], 2);
}

TEST_F(SettingsPopupHostTest, setPopupSizeResizesTheShownPopoverWindowAndClosePopupHidesIt) {
  ASSERT_TRUE(test::runUntil([&] { return popup->isSettingPopupPageReady(); }));
  PopoverWindow& window = host->view();
  EXPECT_FALSE(window.isVisible());
  host->popoverWillShow();
  ASSERT_TRUE(test::runUntil([&] {
    return window.contentSize() == ContentSize{348, 467};
  })) << window.contentSize().width
      << "×" << window.contentSize().height;

  popup->sendToSettingsPopup("resize", Json{{"json", R"({"width":320,"height":480})"}});
  ASSERT_TRUE(test::runUntil([&] {
    return window.contentSize() == ContentSize{320, 480};
  })) << window.contentSize().width
      << "×" << window.contentSize().height;
  EXPECT_EQ(host->preferredContentSize(), (ContentSize{320, 480}));
  EXPECT_TRUE(window.isVisible());

  popup->sendToSettingsPopup("close", Json{{"json", "{}"}});
  ASSERT_TRUE(test::runUntil([&] { return !window.isVisible(); }));
  // Shown again, it keeps the size the popup asked for.
  host->popoverWillShow();
  ASSERT_TRUE(test::runUntil([&] {
    return window.contentSize() == ContentSize{320, 480};
  })) << window.contentSize().width
      << "×" << window.contentSize().height;
  host->popoverDidClose();
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace qv
