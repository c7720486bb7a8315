#include <gtest/gtest.h>

#include "companion/Env.h"
#include "platform/testing/TestPlatform.h"
#include "tests/unit/companion/CompanionFixture.h"

namespace qv {
namespace {

using CompanionEnvTest = testing::CompanionTest;

TEST_F(CompanionEnvTest, logsAsTheCompanion) {
  EXPECT_EQ(env.appInfo.component, Component::companion);
  env.felog->log(CompanionLogger::openExtensionsSettings, LogLevel::error, "x");
  ASSERT_EQ(logRecords().size(), 1u);
  EXPECT_EQ(logRecords()[0]["logger"], "companion.openExtensionsSettings");
}

TEST_F(CompanionEnvTest, ownsTheSignInHandlerAndTheAnalytics) {
  ASSERT_TRUE(env.auth && env.oauth && env.tracker);
  EXPECT_TRUE(env.oauth->shouldAutoOpenLoginTab);
  EXPECT_EQ(env.oauth->extensionBundleIdentifier, "com.quorvane.safari.ext");
  // The analytics run as the companion with the bundle's analytics client type.
  EXPECT_EQ(env.tracker->vorn().component, Component::companion);
  EXPECT_EQ(env.auth->clientType, "safari-ext");
  // Without a shared user, the tracker asks the authentication host for one.
  auto requests = fakes.urlSession->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].url.find("auth.test.example/v3/user/oranonymous"), std::string::npos);
}

TEST(CompanionLoggerTest, namesRoundTrip) {
  for (auto logger : {CompanionLogger::oauthHandleUrl, CompanionLogger::getExtensionState,
                      CompanionLogger::openSafari, CompanionLogger::openExtensionsSettings}) {
    EXPECT_EQ(companionLoggerFromString(toString(logger)), logger);
  }
  EXPECT_EQ(toString(CompanionLogger::oauthHandleUrl), "oauth.handleUrl");
}

}  // namespace
}  // namespace qv
