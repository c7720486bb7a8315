#include <gtest/gtest.h>

#include <thread>

#include "ExtensionFixture.h"

namespace qv {
namespace {

using testing::error;
using testing::ExtensionFixture;
using testing::FakeWebView;
using testing::TestPlatform;
using Strings = std::vector<std::string>;

std::string appMessage(const std::string& json) {
  return "window.exposedApi.appMessage(" + json + ")";
}

Json passArguments(const std::string& json) {
  return Json{{"json", json}};
}

class ViewControllerTest : public ExtensionFixture {};

TEST_F(ViewControllerTest, buildsTheBackgroundPageInOrder) {
  env->sharedData->companionContainerId.setValue("container-7");
  FakeWebView& view = makeHost();

  Strings expectedHandlers;
  for (auto handler : allBackgroundHandlers) expectedHandlers.emplace_back(toString(handler));
  EXPECT_EQ(view.handlerNames(), expectedHandlers);
  EXPECT_EQ(view.userScripts(),
            (Strings{R"(window.bgInitArgs = {"companionContainerId":"container-7"})",
                     "/* background script */"}));
  ASSERT_EQ(view.loads().size(), 1u);
  EXPECT_EQ(view.loads()[0].html, "<html><body>bg</body></html>");
  EXPECT_EQ(view.loads()[0].baseUrl, "https://test.example/");
  EXPECT_TRUE(view.evaluations().empty());
  EXPECT_TRUE(logs().empty());
  EXPECT_EQ(view.offMainThreadCalls(), 0u);
}

TEST_F(ViewControllerTest, reloadKeepsReadinessAndTheStartUpArguments) {
  FakeWebView& view = makeHost();
  EXPECT_EQ(view.userScripts().at(0), R"(window.bgInitArgs = {"companionContainerId":null})");
  view.postMessage("ready", Json());
  env->sharedData->companionContainerId.setValue("later");

  EXPECT_TRUE(view.postMessage("reloadBgPage", Json()));
  EXPECT_EQ(view.loads().size(), 2u);
  EXPECT_EQ(view.userScripts().size(), 2u);  // the script from construction stays as it was
  EXPECT_TRUE(host->isBackgroundPageReady());
  host->callBackgroundPage("during reload");
  EXPECT_EQ(view.evaluations(), Strings{"during reload"});
}

TEST_F(ViewControllerTest, logsAVolatileDataStoreAndCarriesOn) {
  webViews->setPersistent(false);
  FakeWebView& view = makeHost();
  EXPECT_EQ(logs(), (std::vector{error("bg.webView.init.dataStore",
                                       "default WebsiteDataStore is not persistent")}));
  EXPECT_EQ(view.loads().size(), 1u);
}

TEST_F(ViewControllerTest, anUnreadableTemplateIsLoggedAndTheQueueWaits) {
  fakes.bundle->addUnreadableResource("bg_index", "html");
  FakeWebView& view = makeHost();
  EXPECT_TRUE(view.loads().empty());
  EXPECT_EQ(logs(), (std::vector{error("bg.webView.init.loadBgTemplate", "Permission denied")}));
  host->callBackgroundPage("waits");
  EXPECT_EQ(host->backgroundPageQueue(), Strings{"waits"});
}

TEST_F(ViewControllerTest, queuedCallsRunOnceOnReadyInOrderAndReportsBeforeReadyAreDropped) {
  FakeWebView& view = makeHost();
  host->passToBackgroundPage(passArguments(R"({"n":1})"));
  host->reportActiveTab("p1", "https://a.example/");
  host->callBackgroundPageIfReady("{}", bridge::receiveBlacklistConfigPrefix);
  host->callBackgroundPage("second()");
  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(view.evaluations().empty());
  EXPECT_FALSE(host->isBackgroundPageReady());

  view.postMessage("ready", Json::object());
  host->passToBackgroundPage(passArguments(R"({"n":3})"));
  EXPECT_EQ(view.evaluations(),
            (Strings{appMessage(R"({"n":1})"), "second()", appMessage(R"({"n":3})")}));

  host->reportActiveTab("p1", "https://a.example/");
  EXPECT_EQ(
      view.evaluations().back(),
      R"(window.exposedApi.activeTabChanged({"activeTabTopPage":{"id":"p1","url":"https://a.example/"}}))");

  // A later "ready" (after a reload) replays the early calls, and only those.
  view.clearEvaluations();
  view.postMessage("ready", Json());
  EXPECT_EQ(view.evaluations(), (Strings{appMessage(R"({"n":1})"), "second()"}));
}

TEST_F(ViewControllerTest, aCrashedPageIsReloadedAndWhatWaitedRunsOnceAfterTheEarlyCalls) {
  FakeWebView& view = makeHost();
  host->callBackgroundPage("early()");
  view.postMessage("ready", Json());
  view.clearEvaluations();

  // One call was still on its way into the dead page: it runs again, first.
  ASSERT_TRUE(view.endWebProcess({"lost()"}));
  EXPECT_FALSE(host->isBackgroundPageReady());
  EXPECT_EQ(view.loads().size(), 2u);
  EXPECT_EQ(fakes.systemLog->lines(),
            Strings{"The background page's web process ended; reloading it"});
  // A content page's message, a report and a configuration all wait for the new page.
  host->passToBackgroundPage(passArguments(R"({"n":1})"));
  host->reportActiveTab("p1", "https://a.example/");
  host->callBackgroundPageIfReady("{}", bridge::receiveBlacklistConfigPrefix);
  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(view.evaluations().empty());
  EXPECT_EQ(host->recoveryQueue().size(), 4u);
  EXPECT_EQ(host->backgroundPageQueue(), Strings{"early()"});

  view.postMessage("ready", Json());
  ASSERT_EQ(view.evaluations().size(), 5u);
  EXPECT_EQ(view.evaluations()[0], "early()");
  EXPECT_EQ(view.evaluations()[1], "lost()");
  EXPECT_EQ(view.evaluations()[2], appMessage(R"({"n":1})"));
  EXPECT_TRUE(view.evaluations()[3].starts_with("window.exposedApi.activeTabChanged("));
  EXPECT_TRUE(host->recoveryQueue().empty());

  // Once only: a later ready replays the early calls alone.
  view.clearEvaluations();
  view.postMessage("ready", Json());
  EXPECT_EQ(view.evaluations(), Strings{"early()"});
}

TEST_F(ViewControllerTest, aPageThatDoesNotComeBackKeepsOnlyTheNewestCalls) {
  FakeWebView& view = makeHost();
  view.postMessage("ready", Json());
  view.endWebProcess();
  const std::size_t limit = SafariExtensionViewController::maxRecoveryQueue;
  for (std::size_t i = 0; i < limit + 2; ++i) host->callBackgroundPage(std::to_string(i));
  ASSERT_EQ(host->recoveryQueue().size(), limit);
  EXPECT_EQ(host->recoveryQueue().front(), "2");
  EXPECT_EQ(host->recoveryQueue().back(), std::to_string(limit + 1));
  EXPECT_EQ(fakes.systemLog->lines().size(), 3u);  // the crash, then one line per drop
}

TEST_F(ViewControllerTest, passesOnlyOneCompleteJsonTextToThePage) {
  FakeWebView& view = makeHost();
  view.postMessage("ready", Json());
  host->passToBackgroundPage(passArguments(R"( {"a" : [1, "x"]} )"));
  EXPECT_EQ(view.evaluations(), Strings{appMessage(R"( {"a" : [1, "x"]} )")});

  host->passToBackgroundPage(passArguments(R"({"a":1}); stealCookies(); ({)"));
  host->passToBackgroundPage(passArguments("not json"));
  host->passToBackgroundPage(Json{{"json", Json{{"a", 1}}}});  // an object, not a string
  host->passToBackgroundPage(Json::object());
  host->passToBackgroundPage(std::nullopt);
  EXPECT_EQ(view.evaluations().size(), 1u);
  EXPECT_EQ(logs(), std::vector(5, error("page.passToBgPage", "Invalid json field")));
}

TEST_F(ViewControllerTest, anUnencodableActiveTabReportIsLoggedAndNotMade) {
  FakeWebView& view = makeHost();
  view.postMessage("ready", Json());
  host->reportActiveTab("\xff", "https://a.example/");
  EXPECT_TRUE(view.evaluations().empty());
  EXPECT_EQ(logs(), (std::vector{error("page.call.serialization", "activeTabChanged")}));
}

TEST_F(ViewControllerTest, callsIfReadyFromOtherThreadsRunOnTheMainQueueWhileTheHostLives) {
  FakeWebView& view = makeHost();
  view.postMessage("ready", Json());
  std::thread worker([&] { host->callBackgroundPageIfReady(R"({"k":2})", "f("); });
  worker.join();
  EXPECT_TRUE(view.evaluations().empty());  // not before the main queue runs it
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(view.evaluations(), Strings{R"(f({"k":2}))"});
  EXPECT_EQ(view.offMainThreadCalls(), 0u);

  host->callBackgroundPageIfReady("{}", "g(");
  host.reset();
  EXPECT_EQ(fakes.mainQueue->runUntilIdle(), 1u);  // ran, found the host gone, did nothing
}

TEST_F(ViewControllerTest, pollRunsTheInstalledStepEverySecond) {
  int ticks = 0;
  makeHost(BackgroundPageHooks{nullptr, nullptr, [&] { ++ticks; }});
  fakes.mainQueue->advance(0.999);
  EXPECT_EQ(ticks, 0);
  fakes.mainQueue->advance(0.001);
  EXPECT_EQ(ticks, 1);
  fakes.mainQueue->advance(3.0);
  EXPECT_EQ(ticks, 4);

  int replaced = 0;
  host->setHooks(BackgroundPageHooks{nullptr, nullptr, [&] { ++replaced; }});
  fakes.mainQueue->advance(2.0);
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(replaced, 2);

  host.reset();
  fakes.mainQueue->advance(5.0);
  EXPECT_EQ(replaced, 2);
}

TEST_F(ViewControllerTest, sharedInstanceIsBuiltOnceWithTheLatestHooks) {
  SharedViewController shared(*env, extensionPlatform(), registry);
  int ticks = 0;
  shared.setHooks(BackgroundPageHooks{nullptr, nullptr, [&] { ++ticks; }});
  EXPECT_FALSE(shared.isBuilt());
  SafariExtensionViewController& first = shared.instance();
  EXPECT_EQ(&shared.instance(), &first);
  EXPECT_EQ(webViews->madeCount(), 1u);
  fakes.mainQueue->advance(1.0);
  EXPECT_EQ(ticks, 1);
}

TEST(ViewControllerDeathTest, stopsWhenTheBackgroundPageCannotBeBuilt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using testing::FakeWebViewFactory;
  auto build = [](const std::vector<std::string>& omit, auto configure) {
    TestPlatform fakes;
    testing::useExtensionBundle(fakes, omit);
    auto webViews = std::make_shared<FakeWebViewFactory>(fakes.mainQueue);
    configure(fakes, *webViews);
    Env env(fakes.platform());
    SafariExtensionViewController host(
        env, ExtensionPlatform{std::make_shared<testing::FakeBrowser>(), webViews},
        std::make_shared<PageRegistry>());
  };
  auto asIs = [](TestPlatform&, FakeWebViewFactory&) {};
  EXPECT_DEATH(build({"Quorvane-bg.js"}, asIs), "no script Quorvane-bg.js");
  EXPECT_DEATH(build({"bg_index.html"}, asIs), "no template bg_index.html");
  EXPECT_DEATH(build({"Quorvane-bg.js"},
                     [](TestPlatform& fakes, FakeWebViewFactory&) {
                       fakes.bundle->addUnreadableResource("Quorvane-bg", "js");
                     }),
               "Error adding user scripts: Permission denied");
  EXPECT_DEATH(build({}, [](TestPlatform&, FakeWebViewFactory& views) { views.setFails(true); }),
               "web view could not be created");
}

}  // namespace
}  // namespace qv
