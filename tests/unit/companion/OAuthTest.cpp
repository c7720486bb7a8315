#include <gtest/gtest.h>

#include <thread>

#include "tests/unit/companion/CompanionFixture.h"

namespace qv {
namespace {

class OAuthTest : public testing::CompanionTest {
 protected:
  void callback(std::optional<std::string> url) {
    AppleEventDescriptor event;
    if (url) event.parameters[keyDirectObject] = *url;
    AppleEventDescriptor reply;
    env.oauth->handleGetURLWithEvent(event, reply);
  }

  std::string storedBytes(const std::string& key) const {
    auto bytes = fakes.sharedSuite()->data(key);
    return bytes ? toString(*bytes) : "(absent)";
  }

  const Json nullUserInfo = Json{{"code", nullptr}, {"codeChallenge", nullptr}};
};

TEST_F(OAuthTest, aCallbackIsStoredBeforeTheExtensionIsMessaged) {
  std::size_t dispatchedAtWrite = 99;
  auto watch = fakes.sharedSuite()->subscribe("message.oauthExchangeMessage", [&] {
    dispatchedAtWrite = companionFakes.safari->dispatched().size();
  });

  callback("quorvane.extension://oauth?code=A&code_challenge=B");

  EXPECT_EQ(storedBytes("message.oauthExchangeMessage"), R"([{"code":"A","codeChallenge":"B"}])");
  EXPECT_EQ(dispatchedAtWrite, 0u);
  auto sent = companionFakes.safari->dispatched();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "oauthExchange");
  EXPECT_EQ(sent[0].extensionIdentifier, extensionId);
  EXPECT_EQ(sent[0].userInfo, (Json{{"code", "A"}, {"codeChallenge", "B"}}));
  EXPECT_FALSE(env.oauth->shouldAutoOpenLoginTab);

  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(companionFakes.alert->shown().empty());
  EXPECT_TRUE(logRecords().empty());
}

TEST_F(OAuthTest, callbacksThatDoNotParseStillHandTheExtensionAnEmptyMessage) {
  const std::vector<std::optional<std::string>> urls = {
      "https://oauth?code=A&code_challenge=B",  // another scheme
      "quorvane.extension://oauth?code=A",      // no challenge
      "quorvane.extension://elsewhere?code=A&code_challenge=B",
      "quorvane.extension://oauth?code=%FF%FE&code_challenge=B",  // not UTF-8 once decoded
      std::nullopt,                                               // no direct object at all
  };
  for (const auto& url : urls) {
    SCOPED_TRACE(url.value_or("(no direct object)"));
    // A stale message from an earlier sign-in must be replaced, not left behind.
    env.sharedData->oauthExchangeMessage.setValue(OAuthExchangeMessage{"old", "old"});
    std::size_t before = companionFakes.safari->dispatched().size();

    callback(url);

    EXPECT_EQ(storedBytes("message.oauthExchangeMessage"), "[{}]");
    auto sent = companionFakes.safari->dispatched();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().name, "oauthExchange");
    EXPECT_EQ(sent.back().userInfo, nullUserInfo);
  }
}

TEST_F(OAuthTest, aBrowserThatCannotBeReachedIsReportedOnTheMainQueueAndLogged) {
  companionFakes.safari->setDispatchError(SafariError{"Safari is not running"});
  companionFakes.safari->holdCompletions(true);
  callback("quorvane.extension://oauth?code=A&code_challenge=B");

  // The browser answers on its own thread.
  std::thread browser([&] { companionFakes.safari->releaseHeld(); });
  browser.join();
  EXPECT_TRUE(companionFakes.alert->shown().empty()) << "the alert waits for the main queue";

  fakes.mainQueue->runUntilIdle();
  expectOneCriticalAlert("Quorvane encountered a problem",
                         "Please open Safari to continue using Quorvane.");
  expectOneErrorLogged("companion.oauth.handleUrl",
                       "Could not continue to extension: Safari is not running");
  // The code stays stored for the extension's next poll.
  EXPECT_EQ(storedBytes("message.oauthExchangeMessage"), R"([{"code":"A","codeChallenge":"B"}])");
}

TEST_F(OAuthTest, openLoginTabStoresTheRequestAndReportsWhetherTheBrowserTookIt) {
  std::vector<bool> answers;
  env.oauth->openLoginTab([&](bool accepted) { answers.push_back(accepted); });
  companionFakes.safari->setDispatchError(SafariError{"Safari is not running"});
  env.oauth->openLoginTab([&](bool accepted) { answers.push_back(accepted); });
  env.oauth->openLoginTab(nullptr);  // a caller that does not care

  EXPECT_EQ(storedBytes("message.oauthOpenLoginTabMessage"), "[true]");
  auto sent = companionFakes.safari->dispatched();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].name, "oauthOpenLoginTab");
  EXPECT_EQ(sent[0].extensionIdentifier, extensionId);
  EXPECT_FALSE(sent[0].userInfo.has_value());
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));
  // Its failures go to the caller only.
  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(companionFakes.alert->shown().empty());
  EXPECT_TRUE(logRecords().empty());
}

}  // namespace
}  // namespace qv
