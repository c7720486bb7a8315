#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SafariExtension/Env.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "platform/linux/common/LinuxPlatform.h"
#include "platform/linux/safari/IpcSafari.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/linux/webkit/WebKitWebView.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/IpcText.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"
#include "tests/support/gtk/GtkTestEnvironment.h"

namespace qv {
namespace {

const auto* const gtkEnvironment = testing::AddGlobalTestEnvironment(new test::GtkTestEnvironment);

// Reports every call it gets back to the page "recorder", with what the page can see.
constexpr const char* reportingBackgroundScript = R"(
  const report = (name, data) => window.webkit.messageHandlers.sendToContentPage.postMessage(
      {name, pageId: "recorder", data: {data, initArgs: window.bgInitArgs ?? "undefined",
                                        origin: location.origin}});
  window.exposedApi = {
    appMessage(message) { report("appMessage", message); },
    activeTabChanged(args) { report("activeTabChanged", args); },
  };
  window.webkit.messageHandlers.ready.postMessage({});
)";

// A content page that keeps the messages sent to it. Main thread only.
class RecordingPage final : public SafariPage {
 public:
  struct Message {
    std::string name;
    Json userInfo;
  };

  std::string id() const override { return "recorder-page"; }
  void getProperties(std::function<void(std::optional<SafariPageProperties>)> completion) override {
    completion(std::nullopt);
  }
  void dispatchMessageToScript(const std::string& name,
                               const std::optional<Json>& userInfo) override {
    messages.push_back({name, userInfo.value_or(Json())});
  }

  std::vector<Message> messages;
};

// The real host on the real web view, over a test bundle; the browser is a connection
// that is never there, so browser lookups find nothing.
class BackgroundPageHostTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string bundle = test::writeExtensionBundle(dir.path(), {reportingBackgroundScript});
    ASSERT_FALSE(bundle.empty());
    env = std::make_unique<Env>(makeLinuxPlatform(std::make_shared<LinuxBundle>(bundle)));
    registry->registerPage("recorder", page);
  }
  void TearDown() override {
    host.reset();  // before the environment it refers to
    env.reset();
  }

  void makeHost() {
    host = std::make_unique<SafariExtensionViewController>(
        *env,
        ExtensionPlatform{std::make_shared<IpcSafariApplication>(std::weak_ptr<ipc::Connection>()),
                          std::make_shared<WebKitWebViewFactory>()},
        registry);
  }

  // Sends a last message and waits for it, so everything sent before it has arrived.
  bool drain() {
    host->passToBackgroundPage(Json{{"json", R"("sentinel")"}});
    return test::runUntil([&] {
      return !page->messages.empty() && page->messages.back().userInfo["data"] == "sentinel";
    });
  }

  std::vector<Json> appMessages() const {
    std::vector<Json> data;
    for (const auto& message : page->messages) {
      if (message.name == "appMessage") data.push_back(message.userInfo["data"]);
    }
    return data;
  }

  test::TempDir dir;
  std::unique_ptr<Env> env;
  std::shared_ptr<PageRegistry> registry = std::make_shared<PageRegistry>();
  std::shared_ptr<RecordingPage> page = std::make_shared<RecordingPage>();
  std::unique_ptr<SafariExtensionViewController> host;
};

TEST_F(BackgroundPageHostTest, CallsBeforeReadyWaitForItAndActiveTabReportsAreDropped) {
  makeHost();
  // Nothing has run yet: the page cannot be ready.
  ASSERT_FALSE(host->isBackgroundPageReady());
  host->passToBackgroundPage(Json{{"json", R"({"n":1})"}});
  host->reportActiveTab("early", "https://site.example/early");
  host->passToBackgroundPage(Json{{"json", R"({"n":2})"}});
  EXPECT_EQ(host->backgroundPageQueue().size(), 2u);

  ASSERT_TRUE(test::runUntil([&] { return host->isBackgroundPageReady(); }));
  host->passToBackgroundPage(Json{{"json", R"({"n":3})"}});
  host->reportActiveTab("late", "https://site.example/late");
  ASSERT_TRUE(drain());

  std::vector<Json> expected = {Json{{"n", 1}}, Json{{"n", 2}}, Json{{"n", 3}}, Json("sentinel")};
  EXPECT_EQ(appMessages(), expected);
  std::vector<Json> reports;
  for (const auto& message : page->messages) {
    if (message.name == "activeTabChanged") reports.push_back(message.userInfo["data"]);
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["activeTabTopPage"]["id"], "late");
  EXPECT_EQ(reports[0]["activeTabTopPage"]["url"], "https://site.example/late");
}

TEST_F(BackgroundPageHostTest, ThePageSeesItsInitialArgumentsAndItsOrigin) {
  makeHost();
  ASSERT_TRUE(drain());
  EXPECT_TRUE(test::sameJson(page->messages.back().userInfo["initArgs"],
                             Json({{"companionContainerId", nullptr}})))
      << (page->messages.back().userInfo["initArgs"]).dump();
  EXPECT_EQ(page->messages.back().userInfo["origin"], "https://quorvane.test");

  // A host built after the companion's container id was stored hands it to its page.
  host.reset();
  page->messages.clear();
  env->sharedData->companionContainerId.setValue(std::string("container-7"));
  makeHost();
  ASSERT_TRUE(drain());
  EXPECT_TRUE(test::sameJson(page->messages.back().userInfo["initArgs"],
                             Json({{"companionContainerId", "container-7"}})))
      << (page->messages.back().userInfo["initArgs"]).dump();
}

}  // namespace
}  // namespace qv
