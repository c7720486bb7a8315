#include <gtest/gtest.h>

#include "Common/AppInfo.h"
#include "Common/ClientInfo.h"
#include "Common/Color.h"
#include "Common/EnvType.h"
#include "Common/UserInfo.h"
#include "platform/testing/TestPlatform.h"

namespace qv {
namespace {

using testing::TestPlatform;

TEST(AppInfoTest, readsNameAndAppendsExtensionSuffixToTheIdentifier) {
  TestPlatform fakes;
  AppInfo info = AppInfo::fromBundle(*fakes.bundle, Component::native);
  EXPECT_EQ(info.appName, "Quorvane for Safari");
  // The suffix is appended in every process, even where it names no bundle.
  EXPECT_EQ(info.extensionBundleIdentifier, "com.quorvane.safari.ext");
  EXPECT_EQ(info.component, Component::native);
}

TEST(AppInfoDeathTest, stopsWhenTheBundleIdentityIsBroken) {
  TestPlatform noInfo;
  noInfo.bundle->setInfoDictionary(std::nullopt);
  EXPECT_DEATH(AppInfo::fromBundle(*noInfo.bundle, Component::companion), "no information");

  TestPlatform numericName;
  Json info = TestPlatform::defaultInfoDictionary();
  info["CFBundleName"] = 7;
  numericName.bundle->setInfoDictionary(info);
  EXPECT_DEATH(AppInfo::fromBundle(*numericName.bundle, Component::companion), "CFBundleName");

  TestPlatform noIdentifier;
  info = TestPlatform::defaultInfoDictionary();
  info.erase("CFBundleIdentifier");
  noIdentifier.bundle->setInfoDictionary(info);
  EXPECT_DEATH(AppInfo::fromBundle(*noIdentifier.bundle, Component::companion), "identifier");
}

TEST(ClientInfoTest, decodesTheThreeRequiredKeysAndIgnoresOthers) {
  auto info = ClientInfo::fromJson(
      Json::parse(R"({"clientType":"a","clientVersion":"b","vornClientType":"c","x":1})"));
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, (ClientInfo{"a", "b", "c"}));
  EXPECT_EQ(info->toJson().dump(),
            R"({"clientType":"a","clientVersion":"b","vornClientType":"c"})");

  EXPECT_FALSE(ClientInfo::fromJson(Json::parse(R"({"clientType":"a","clientVersion":"b"})")));
  EXPECT_FALSE(ClientInfo::fromJson(
      Json::parse(R"({"clientType":"a","clientVersion":2,"vornClientType":"c"})")));
}

TEST(ClientInfoTest, loadsTheBundleResource) {
  TestPlatform fakes;
  EXPECT_EQ(ClientInfo::load(*fakes.bundle), (ClientInfo{"safari-ext", "1.2.3", "safari"}));
}

TEST(ClientInfoDeathTest, stopsWithTheDocumentedLocations) {
  TestPlatform missing{};
  missing.bundle = std::make_shared<testing::FakeBundle>();
  EXPECT_DEATH(ClientInfo::load(*missing.bundle), "no clientInfo.json");

  TestPlatform unreadable;
  unreadable.bundle = std::make_shared<testing::FakeBundle>();
  unreadable.bundle->addUnreadableResource("clientInfo", "json");
  EXPECT_DEATH(ClientInfo::load(*unreadable.bundle), "file Common/EnvCommon, line 46");

  TestPlatform undecodable;
  undecodable.bundle = std::make_shared<testing::FakeBundle>();
  undecodable.bundle->addResource("clientInfo", "json", R"({"clientType":"a"})");
  EXPECT_DEATH(ClientInfo::load(*undecodable.bundle), "file Common/EnvCommon, line 47");
}

TEST(UserInfoTest, roundTripsWithAllFourKeysInOrder) {
  UserInfo user{"u1", false, true, "c1"};
  EXPECT_EQ(user.toJson().dump(),
            R"({"userId":"u1","isTestUser":false,"isAnonymous":true,"containerId":"c1"})");
  EXPECT_EQ(UserInfo::fromJson(user.toJson()), user);
}

TEST(UserInfoTest, rejectsMissingKeysAndMistypedValues) {
  EXPECT_FALSE(UserInfo::fromJson(
      Json::parse(R"({"userId":"u","isTestUser":"true","isAnonymous":true,"containerId":"c"})")));
  EXPECT_FALSE(UserInfo::fromJson(
      Json::parse(R"({"userId":"u","isTestUser":1,"isAnonymous":true,"containerId":"c"})")));
  EXPECT_FALSE(
      UserInfo::fromJson(Json::parse(R"({"userId":"u","isTestUser":false,"isAnonymous":true})")));
  EXPECT_FALSE(UserInfo::fromJson(Json::parse(R"(["u"])")));
}

TEST(EnumsTest, convertOnlyTheirExactStrings) {
  EXPECT_EQ(envTypeFromString("dev"), EnvType::dev);
  EXPECT_EQ(envTypeFromString("prod"), EnvType::prod);
  EXPECT_EQ(envTypeFromString("Prod"), std::nullopt);
  EXPECT_EQ(envTypeFromString(""), std::nullopt);
  EXPECT_EQ(toString(EnvType::prod), "prod");

  EXPECT_EQ(componentFromString("native"), Component::native);
  EXPECT_EQ(componentFromString("companion"), Component::companion);
  EXPECT_EQ(componentFromString("Native"), std::nullopt);
  EXPECT_EQ(toString(Component::companion), "companion");
}

TEST(ColorTest, hexSplitsChannelsAndIgnoresTheTopByte) {
  Color color = hexColor(0xFF8000, 0.5f);
  EXPECT_DOUBLE_EQ(color.red, 1.0);
  EXPECT_DOUBLE_EQ(color.green, 128.0 / 255.0);
  EXPECT_DOUBLE_EQ(color.blue, 0.0);
  EXPECT_DOUBLE_EQ(color.alpha, 0.5);
  EXPECT_EQ(hexColor(0xABFF8000, 0.5f), color);
}

}  // namespace
}  // namespace qv
