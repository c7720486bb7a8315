#include <gtest/gtest.h>

#include "companion/Env.h"
#include "platform/testing/TestPlatform.h"

namespace qv {
namespace {

TEST(CompanionEnvTest, logsAsTheCompanion) {
  testing::TestPlatform fakes;
  Env env(fakes.platform());
  EXPECT_EQ(env.appInfo.component, Component::companion);
  env.felog->log(CompanionLogger::openExtensionsSettings, LogLevel::error, "x");
  auto body = Json::parse(toString(*fakes.urlSession->requests().at(0).body));
  EXPECT_EQ(body["logger"], "companion.openExtensionsSettings");
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
