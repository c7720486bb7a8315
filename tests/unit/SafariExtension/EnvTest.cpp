#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "SafariExtension/Env.h"
#include "platform/testing/TestPlatform.h"

namespace qv {
namespace {

using testing::TestPlatform;

std::string sessionIdOf(const Env& env) {
  return env.felog->config().sessionId;
}

TEST(ExtensionEnvTest, buildsTheNativeEnvironmentFromTheBundle) {
  TestPlatform fakes;
  Env env(fakes.platform());
  EXPECT_EQ(env.appInfo.component, Component::native);
  EXPECT_EQ(env.appInfo.extensionBundleIdentifier, "com.quorvane.safari.ext");
  EXPECT_EQ(env.clientInfo.clientVersion, "1.2.3");
  EXPECT_EQ(env.envType, EnvType::prod);
  ASSERT_TRUE(env.felog);
  const FelogConfig& config = env.felog->config();
  EXPECT_EQ(config.domain, "log.test.example");
  EXPECT_EQ(config.logPath, "/logv2");
  EXPECT_EQ(config.origin, "https://www.test.example");
  EXPECT_EQ(config.appComponent, Component::native);
  EXPECT_TRUE(std::regex_match(
      config.sessionId,
      std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << config.sessionId;

  env.felog->log(NativeLogger::pageActivePage, LogLevel::error, "Missing url field");
  auto body = Json::parse(toString(*fakes.urlSession->requests().at(0).body));
  EXPECT_EQ(body["logger"], "native.page.activePage");
  EXPECT_EQ(body["sessionId"], config.sessionId);
}

TEST(ExtensionEnvTest, eachLaunchHasItsOwnSessionId) {
  TestPlatform fakes;
  Env first(fakes.platform());
  Env second(fakes.platform());
  EXPECT_NE(sessionIdOf(first), sessionIdOf(second));
}

TEST(ExtensionEnvDeathTest, stopsWithoutDeploymentValues) {
  TestPlatform fakes;
  Json info = TestPlatform::defaultInfoDictionary();
  info["QVDeployment"].erase("LogHost");
  fakes.bundle->setInfoDictionary(info);
  EXPECT_DEATH(Env env(fakes.platform()), "QVDeployment");
}

TEST(ExtensionEnvTest, concurrentFirstAccessesBuildOneEnvironment) {
  TestPlatform fakes;
  EnvCommon::installPlatform(fakes.platform());
  Env* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = &Env::shared(); });
  std::thread b([&] { seen[1] = &Env::shared(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(fakes.defaults->suiteOpenCount(), 1u);
  EXPECT_EQ(&Env::shared(), seen[0]);
}

TEST(NativeLoggerTest, sendsTheEndpointsNames) {
  EXPECT_EQ(toString(NativeLogger::oauthExchange), "oauth.exchange");
  EXPECT_EQ(toString(NativeLogger::settingsPopupSendToSettingsPopup),
            "settingPopup.sendToSettingsPopup");
  EXPECT_EQ(toString(NativeLogger::bgWebViewHandleMessageNoPageId),
            "bg.webView.handleMessage.noPageId");
  EXPECT_EQ(nativeLoggerFromString("page.passToBgPage"), NativeLogger::pagePassToBgPage);
  EXPECT_EQ(nativeLoggerFromString("settingsPopup.sendToSettingsPopup"), std::nullopt);
}

}  // namespace
}  // namespace qv
