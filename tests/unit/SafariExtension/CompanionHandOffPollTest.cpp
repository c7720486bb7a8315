#include "SafariExtension/CompanionHandOffPoll.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ExtensionFixture.h"

namespace qv {
namespace {

using testing::ExtensionFixture;
using testing::FakeWebView;
using testing::warning;

// The poll as the background page host runs it: every 1.0 s of the manual clock.
class HandOffPollTest : public ExtensionFixture {
 protected:
  HandOffPollTest()
      : flow(std::make_shared<OAuthSignInFlow>(
            *env, browser,
            [this](std::string call) { host->callBackgroundPage(std::move(call)); })),
        poll(std::make_shared<CompanionHandOffPoll>(env->sharedData, flow)),
        page(makeHost(BackgroundPageHooks{flow, nullptr, [poll = poll] { poll->run(); }})) {}

  void tick() { fakes.mainQueue->advance(1.0); }
  SharedData& shared() { return *env->sharedData; }
  std::size_t newWindowsOpened() const {
    auto calls = browser->calls();
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const auto& call) {
      return call.starts_with("openWindow ");
    }));
  }
  std::optional<std::string> stored(const std::string& key) const {
    auto bytes = fakes.sharedSuite()->data(key);
    return bytes ? std::optional(qv::toString(*bytes)) : std::nullopt;
  }

  std::shared_ptr<OAuthSignInFlow> flow;
  std::shared_ptr<CompanionHandOffPoll> poll;
  FakeWebView& page;
};

TEST_F(HandOffPollTest, theOpenLoginTabRequestIsActedOnOncePerRisingEdge) {
  tick();
  EXPECT_EQ(newWindowsOpened(), 0u);

  // The companion asks: one sign-in in a new window, and the request is cleared.
  shared().oauthOpenLoginTabMessage.setValue(true);
  tick();
  EXPECT_EQ(newWindowsOpened(), 1u);
  EXPECT_TRUE(poll->oauthOpenLoginTabLastMessageHandled());
  EXPECT_EQ(stored("message.oauthOpenLoginTabMessage"), "[null]");

  // Seen true at every poll without ever being seen cleared: still only one.
  for (int i = 0; i < 3; ++i) {
    shared().oauthOpenLoginTabMessage.setValue(true);
    tick();
  }
  EXPECT_EQ(newWindowsOpened(), 1u);

  // Absent (or false), then true again: another one.
  shared().oauthOpenLoginTabMessage.setValue(false);
  tick();
  EXPECT_FALSE(poll->oauthOpenLoginTabLastMessageHandled());
  shared().oauthOpenLoginTabMessage.setValue(true);
  tick();
  EXPECT_EQ(newWindowsOpened(), 2u);
  EXPECT_TRUE(flow->loginTab());
}

TEST_F(HandOffPollTest, aSignedInUserGetsNoLoginTabButTheRequestIsStillCleared) {
  shared().userInfo.setValue(UserInfo{"user-1", false, /*isAnonymous=*/false, "container-1"});
  shared().oauthOpenLoginTabMessage.setValue(true);
  tick();
  EXPECT_EQ(newWindowsOpened(), 0u);
  EXPECT_TRUE(poll->oauthOpenLoginTabLastMessageHandled());
  EXPECT_EQ(shared().oauthOpenLoginTabMessage.value(), std::nullopt);

  // An anonymous user is not signed in.
  shared().userInfo.setValue(UserInfo{"anon", false, /*isAnonymous=*/true, "container-1"});
  tick();  // sees the cleared flag
  shared().oauthOpenLoginTabMessage.setValue(true);
  tick();
  EXPECT_EQ(newWindowsOpened(), 1u);
}

TEST_F(HandOffPollTest, theCompanionsSigninResultIsExchangedWithinOneTickAndCleared) {
  shared().oauthOpenLoginTabMessage.setValue(true);
  tick();
  ASSERT_TRUE(flow->pendingCodeVerification());
  CodeVerification pending = *flow->pendingCodeVerification();

  shared().oauthExchangeMessage.setValue(OAuthExchangeMessage{"the-code", pending.challenge});
  tick();
  EXPECT_EQ(stored("message.oauthExchangeMessage"), "[null]");
  page.postMessage("ready", Json());
  ASSERT_EQ(page.evaluations().size(), 1u);
  EXPECT_EQ(page.evaluations()[0],
            R"(window.exposedApi.oauthExchange({"code":"the-code","codeVerifier":")" +
                pending.verifier + R"("}))");

  // A message with neither field is still taken (and refused); an unreadable one is
  // left where it is.
  shared().oauthExchangeMessage.setValue(OAuthExchangeMessage{});
  tick();
  EXPECT_EQ(stored("message.oauthExchangeMessage"), "[null]");
  fakes.sharedSuite()->set("message.oauthExchangeMessage", toBytes("not json"));
  tick();
  tick();
  EXPECT_EQ(stored("message.oauthExchangeMessage"), "not json");
  EXPECT_EQ(page.evaluations().size(), 1u);
  EXPECT_EQ(logs(), (std::vector{warning("oauth.exchange", "Invalid code or codeVerification")}));
}

}  // namespace
}  // namespace qv
