#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ExtensionFixture.h"
#include "SafariExtension/SafariExtensionHandler.h"

namespace qv {
namespace {

using testing::DispatchedMessage;
using testing::envelope;
using testing::error;
using testing::FakeWebView;
using testing::PageFixture;
using Strings = std::vector<std::string>;

class HandlerTest : public PageFixture {
 protected:
  SafariExtensionHandler makeHandler() {
    return SafariExtensionHandler(*env, browser, registry, shared, signIn);
  }

  // Builds the host through the handler and makes its page ready.
  FakeWebView& readyPage() {
    fakes.mainQueue->runUntilIdle();
    FakeWebView& view = *webViews->lastView();
    view.postMessage("ready", Json());
    return view;
  }
};

TEST_F(HandlerTest, creatingAHandlerBuildsTheHostOnceOnTheMainQueue) {
  SafariExtensionHandler first = makeHandler();
  EXPECT_FALSE(shared->isBuilt());
  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(shared->isBuilt());
  SafariExtensionHandler second = makeHandler();
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(webViews->madeCount(), 1u);
  EXPECT_EQ(webViews->lastView()->loads().size(), 1u);
}

TEST_F(HandlerTest, aMessageWithoutASourcePageIdIsLoggedAndDropped) {
  auto handler = makeHandler();
  handler.messageReceived("passToBgPage", page, std::nullopt);
  handler.messageReceived("passToBgPage", page, Json{{"data", {{"json", "{}"}}}});
  handler.messageReceived("activePage", page, Json{{"meta", "p1"}});
  handler.messageReceived("activePage", page, Json{{"meta", {{"srcPageId", 1}}}});
  EXPECT_TRUE(registry->allPages().empty());
  EXPECT_EQ(logs(), (std::vector{
                        error("page.handleMessage.unknownSrcPageId", "Message name: passToBgPage"),
                        error("page.handleMessage.unknownSrcPageId", "Message name: passToBgPage"),
                        error("page.handleMessage.unknownSrcPageId", "Message name: activePage"),
                        error("page.handleMessage.unknownSrcPageId", "Message name: activePage")}));
  FakeWebView& view = readyPage();
  EXPECT_TRUE(view.evaluations().empty());
}

TEST_F(HandlerTest, everyMessageWithAPageIdRegistersItsPage) {
  auto handler = makeHandler();
  auto other = window->addTab("https://b.example/")->page();
  handler.messageReceived("PassToBgPage", page, envelope("p1"));
  EXPECT_EQ(registry->lookup("p1"), page);
  EXPECT_EQ(
      logs(),
      (std::vector{error("page.handleMessage.unknownMessageName", "Message name: PassToBgPage")}));

  handler.messageReceived("closeLoginTab", other, envelope("p1"));
  EXPECT_EQ(registry->lookup("p1"), other);  // the later page wins

  handler.messageReceived("unregisterPage", page, envelope("p1"));
  handler.messageReceived("unregisterPage", page, envelope("never-seen"));
  EXPECT_TRUE(registry->allPages().empty());
}

TEST_F(HandlerTest, activePageReportsTheFrontPageToAReadyBackgroundPage) {
  auto handler = makeHandler();
  handler.messageReceived("activePage", page, envelope("p0", {{"url", "https://early/"}}));
  FakeWebView& view = readyPage();  // the early report was dropped
  handler.messageReceived("activePage", page, envelope("p1", {{"url", "https://a.example/"}}));
  handler.messageReceived("activePage", page, envelope("p1", {{"url", 42}}));
  handler.messageReceived("activePage", page, envelope("p1"));
  EXPECT_TRUE(view.evaluations().empty());  // not on Safari's thread
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(
      view.evaluations(),
      Strings{
          R"(window.exposedApi.activeTabChanged({"activeTabTopPage":{"id":"p1","url":"https://a.example/"}}))"});
  EXPECT_EQ(logs(), std::vector(2, error("page.activePage", "Missing url field")));
}

TEST_F(HandlerTest, passToBgPageQueuesUntilReadyAndKeepsArrivalOrder) {
  auto handler = makeHandler();
  handler.messageReceived("passToBgPage", page, envelope("p1", {{"json", R"({"n":0})"}}));
  handler.messageReceived("passToBgPage", page,
                          Json{{"meta", {{"srcPageId", "p1"}}}, {"data", "x"}});
  FakeWebView& view = readyPage();
  EXPECT_EQ(view.evaluations(), Strings{R"(window.exposedApi.appMessage({"n":0}))"});
  EXPECT_EQ(logs(), (std::vector{error("page.passToBgPage", "Invalid json field")}));

  // Safari's thread sends while the main queue runs: everything arrives, in order.
  constexpr int kMessages = 200;
  std::atomic<bool> done = false;
  std::thread safari([&] {
    auto threadHandler = makeHandler();
    for (int i = 1; i <= kMessages; ++i) {
      threadHandler.messageReceived(
          "passToBgPage", page, envelope("p1", {{"json", "{\"n\":" + std::to_string(i) + "}"}}));
    }
    done = true;
  });
  while (!done) fakes.mainQueue->runUntilIdle();
  safari.join();
  fakes.mainQueue->runUntilIdle();
  ASSERT_EQ(view.evaluations().size(), kMessages + 1u);
  for (int i = 0; i <= kMessages; ++i) {
    EXPECT_EQ(view.evaluations()[i],
              "window.exposedApi.appMessage({\"n\":" + std::to_string(i) + "})");
  }
  EXPECT_EQ(view.offMainThreadCalls(), 0u);
}

TEST_F(HandlerTest, signInMessagesReachTheFlowOnTheMainQueue) {
  auto handler = makeHandler();
  std::thread safari([&] {
    handler.messageReceived("beginOAuth", page, envelope("p1", {{"ignored", 1}}));
    handler.messageReceived("oauthExchange", page,
                            envelope("p1", {{"redirectUrl", "quorvane.extension://oauth?code=A"}}));
    handler.messageReceived("oauthExchange", page, envelope("p1", {{"redirectUrl", 7}}));
    handler.messageReceived("closeLoginTab", page, envelope("p1"));
  });
  safari.join();
  EXPECT_TRUE(signIn->calls.empty());
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(signIn->calls, (Strings{"begin", "exchange quorvane.extension://oauth?code=A",
                                    "exchange <none>", "close"}));
  EXPECT_FALSE(signIn->offMainThread);

  SafariExtensionHandler withoutFlow(*env, browser, registry, shared, nullptr);
  withoutFlow.messageReceived("beginOAuth", page, envelope("p1"));
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(signIn->calls.size(), 4u);
  EXPECT_TRUE(logs().empty());
}

TEST_F(HandlerTest, toolbarValidationAnswersAtOnceThenAsksTheActiveTabToReport) {
  auto handler = makeHandler();
  auto otherTab = window->addTab("https://b.example/", /*makeActive=*/false)->page();
  browser->holdCompletions(true);
  std::vector<std::pair<bool, std::string>> answers;
  handler.validateToolbarItem(window, [&](bool enabled, const std::string& badge) {
    answers.emplace_back(enabled, badge);
  });
  EXPECT_EQ(answers, (std::vector<std::pair<bool, std::string>>{{true, ""}}));
  EXPECT_TRUE(page->messages().empty());
  std::thread browserThread([&] { browser->releaseHeld(); });
  browserThread.join();
  EXPECT_EQ(
      page->messages(),
      (std::vector<DispatchedMessage>{{page->id(), "exposedApi.reportActive", std::nullopt}}));
  EXPECT_TRUE(otherTab->messages().empty());

  browser->holdCompletions(false);
  browser->setActiveWindow(nullptr);
  handler.validateToolbarItem(nullptr, [&](bool enabled, const std::string& badge) {
    answers.emplace_back(enabled, badge);
  });
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1], (std::pair<bool, std::string>{true, ""}));
  EXPECT_EQ(page->messages().size(), 1u);
}

TEST_F(HandlerTest, messagesFromTheCompanionAreIgnored) {
  auto handler = makeHandler();
  fakes.mainQueue->runUntilIdle();
  auto callsBefore = browser->calls().size();
  handler.messageReceivedFromContainingApp("oauthExchange", Json{{"code", "A"}});
  EXPECT_EQ(fakes.mainQueue->pendingCount(), 1u);  // only the poll
  EXPECT_EQ(browser->calls().size(), callsBefore);
  EXPECT_TRUE(logs().empty());
  EXPECT_TRUE(signIn->calls.empty());
}

}  // namespace
}  // namespace qv
