#include <gtest/gtest.h>

#include "Common/SharedData.h"
#include "platform/testing/TestPlatform.h"

namespace qv {
namespace {

using testing::TestPlatform;

class SharedDataTest : public ::testing::Test {
 protected:
  void store(const std::string& key, const std::string& text) {
    fakes.sharedSuite()->set(key, UserDefaults::Value(toBytes(text)));
  }
  std::string stored(const std::string& key) {
    auto bytes = fakes.sharedSuite()->data(key);
    return bytes ? toString(*bytes) : "(absent)";
  }

  TestPlatform fakes;
  SharedData shared{*fakes.defaults, fakes.secretStore};
};

TEST_F(SharedDataTest, valuesAreStoredAsOneElementArraysUnderTheirKeys) {
  shared.userInfo.setValue(UserInfo{"u", false, true, "c"});
  shared.companionContainerId.setValue(std::string("cid"));
  shared.oauthExchangeMessage.setValue(OAuthExchangeMessage{"A", "B"});
  shared.oauthOpenLoginTabMessage.setValue(true);

  EXPECT_EQ(stored("userInfo"),
            R"([{"userId":"u","isTestUser":false,"isAnonymous":true,"containerId":"c"}])");
  EXPECT_EQ(stored("companionContainerId"), R"(["cid"])");
  EXPECT_EQ(stored("message.oauthExchangeMessage"), R"([{"code":"A","codeChallenge":"B"}])");
  EXPECT_EQ(stored("message.oauthOpenLoginTabMessage"), "[true]");

  shared.userInfo.setValue(std::nullopt);
  EXPECT_EQ(stored("userInfo"), "[null]");
  EXPECT_EQ(shared.userInfo.value(), std::nullopt);
}

TEST_F(SharedDataTest, nothingStoredReadsAsTheAbsentDefault) {
  EXPECT_FALSE(shared.userInfo.optionalValue());
  EXPECT_EQ(shared.userInfo.value(), std::nullopt);
}

TEST_F(SharedDataTest, storedNullIsAPresentAbsentValue) {
  store("companionContainerId", "[null]");
  auto optional = shared.companionContainerId.optionalValue();
  ASSERT_TRUE(optional);
  EXPECT_EQ(*optional, std::nullopt);
}

TEST_F(SharedDataTest, bytesOfAnotherShapeReadAsTheDefault) {
  for (const char* text : {"[]", "[true,false]", "true", "[1]", "[\"true\"]", "not json", ""}) {
    store("message.oauthOpenLoginTabMessage", text);
    EXPECT_EQ(shared.oauthOpenLoginTabMessage.value(), std::nullopt) << text;
  }
  // A string where data is expected is not a stored value either.
  fakes.sharedSuite()->set("message.oauthOpenLoginTabMessage", UserDefaults::Value("[true]"));
  EXPECT_EQ(shared.oauthOpenLoginTabMessage.value(), std::nullopt);
  store("userInfo", R"([{"userId":"u","isTestUser":"no","isAnonymous":true,"containerId":"c"}])");
  EXPECT_EQ(shared.userInfo.value(), std::nullopt);
}

TEST_F(SharedDataTest, exchangeMessageOmitsAndAcceptsAbsentMembers) {
  shared.oauthExchangeMessage.setValue(OAuthExchangeMessage{"A", std::nullopt});
  EXPECT_EQ(stored("message.oauthExchangeMessage"), R"([{"code":"A"}])");
  EXPECT_EQ(shared.oauthExchangeMessage.value(), (OAuthExchangeMessage{"A", std::nullopt}));

  store("message.oauthExchangeMessage", R"([{"code":null}])");
  EXPECT_EQ(shared.oauthExchangeMessage.value(), (OAuthExchangeMessage{}));
  store("message.oauthExchangeMessage", R"([{"code":5}])");
  EXPECT_EQ(shared.oauthExchangeMessage.value(), std::nullopt);
}

TEST_F(SharedDataTest, unencodableValuesAreDroppedWithoutStoringAnything) {
  shared.companionContainerId.setValue(std::string("ok"));
  shared.companionContainerId.setValue(std::string("bad \xff utf-8"));
  EXPECT_EQ(shared.companionContainerId.value(), "ok");
}

TEST_F(SharedDataTest, subscribersSeeLaterChangesUntilTheirUnsubscriberDies) {
  std::vector<std::optional<UserInfo>> first, second;
  auto keepFirst = shared.userInfo.subscribe([&](auto v) { first.push_back(v); });
  auto keepSecond = shared.userInfo.subscribe([&](auto v) { second.push_back(v); });
  EXPECT_TRUE(first.empty());  // not called at subscription time

  UserInfo user{"u", false, false, "c"};
  shared.userInfo.setValue(user);
  keepFirst.reset();
  shared.userInfo.setValue(std::nullopt);

  EXPECT_EQ(first, (std::vector<std::optional<UserInfo>>{user}));
  EXPECT_EQ(second, (std::vector<std::optional<UserInfo>>{user, std::nullopt}));
}

TEST_F(SharedDataTest, runningTheUnsubscriberEarlyEndsTheSubscriptionOnce) {
  int calls = 0;
  auto unsubscriber = shared.companionContainerId.subscribe([&](auto) { ++calls; });
  unsubscriber->run();
  unsubscriber->run();
  shared.companionContainerId.setValue(std::string("x"));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(fakes.sharedSuite()->subscriberCount("companionContainerId"), 0u);
}

TEST(SharedDataNoSuiteTest, aSuiteThatCannotOpenKeepsNothingAndNeverNotifies) {
  TestPlatform fakes;
  fakes.defaults->setRefuseSuites(true);
  SharedData shared{*fakes.defaults, fakes.secretStore};
  EXPECT_EQ(shared.userDefaults, nullptr);

  int calls = 0;
  auto unsubscriber = shared.oauthOpenLoginTabMessage.subscribe([&](auto) { ++calls; });
  shared.oauthOpenLoginTabMessage.setValue(true);
  EXPECT_EQ(shared.oauthOpenLoginTabMessage.value(), std::nullopt);
  EXPECT_EQ(calls, 0);
}

TEST(CompanionMessageTest, namesRoundTrip) {
  for (auto message : {CompanionMessage::oauthExchange, CompanionMessage::oauthOpenLoginTab,
                       CompanionMessage::openSafari}) {
    EXPECT_EQ(companionMessageFromString(toString(message)), message);
  }
  EXPECT_EQ(toString(CompanionMessage::oauthOpenLoginTab), "oauthOpenLoginTab");
  EXPECT_EQ(companionMessageFromString("OpenSafari"), std::nullopt);
}

}  // namespace
}  // namespace qv
