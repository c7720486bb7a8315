#include <gtest/gtest.h>

#include "SafariExtension/BoolValue.h"
#include "SafariExtension/BridgeFormats.h"

namespace qv {
namespace {

TEST(BridgeCallTest, insertsTheArgumentVerbatimAndEndsWithTheParenthesis) {
  EXPECT_EQ(bridge::makeCall(bridge::appMessagePrefix, R"({"a":1})"),
            R"(window.exposedApi.appMessage({"a":1}))");
  EXPECT_EQ(bridge::makeCall(bridge::receiveBlacklistConfigPrefix, "{}"),
            "window.exposedApi.receiveBlacklistConfig({})");
  EXPECT_EQ(bridge::makeCall(bridge::oauthExchangePrefix, "[ 1 ]"),
            "window.exposedApi.oauthExchange([ 1 ])");
}

TEST(BridgeCallTest, activeTabChangedCarriesThePageAndEscapesItsText) {
  auto argument = bridge::activeTabChangedArgument("p1", "https://a.example/x?y=1");
  ASSERT_TRUE(argument);
  EXPECT_EQ(*argument, R"({"activeTabTopPage":{"id":"p1","url":"https://a.example/x?y=1"}})");

  argument = bridge::activeTabChangedArgument(R"(a"b\c)", "u");
  ASSERT_TRUE(argument);
  EXPECT_EQ(*argument, R"({"activeTabTopPage":{"id":"a\"b\\c","url":"u"}})");
  auto decoded = ActiveTabChangedArgs::fromJson(Json::parse(*argument));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->activeTabTopPage, (Page{R"(a"b\c)", "u"}));

  // Text that is not UTF-8 cannot be encoded: the caller logs and makes no call.
  EXPECT_EQ(bridge::activeTabChangedArgument("\xff\xfe", "u"), std::nullopt);
}

TEST(BridgeCallTest, startUpArgumentsScriptHoldsTheContainerIdOrNull) {
  EXPECT_EQ(bridge::bgInitArgsScript(std::nullopt),
            R"(window.bgInitArgs = {"companionContainerId":null})");
  EXPECT_EQ(bridge::bgInitArgsScript("c-1"),
            R"(window.bgInitArgs = {"companionContainerId":"c-1"})");
  EXPECT_EQ(bridge::bgInitArgsScript(std::string("\xc3")), std::nullopt);
}

TEST(BridgeCallTest, exchangeArgumentHasExactlyCodeAndVerifier) {
  auto argument = bridge::oauthExchangeArgument("C", "V");
  ASSERT_TRUE(argument);
  EXPECT_EQ(Json::parse(*argument), Json::parse(R"({"code":"C","codeVerifier":"V"})"));
}

TEST(BridgeCallTest, oneJsonTextIsTheOnlyAcceptedArgument) {
  for (const char* good : {R"({"a":1})", "[]", "1", "\"s\"", "null", " {\"a\" : [1, 2]}\n"}) {
    EXPECT_TRUE(bridge::isOneJsonText(good)) << good;
  }
  for (const char* bad : {"", "{", "{}) ; alert(1); (", "{} {}", "{'a':1}", "undefined",
                          "{\"a\":1} // x", "alert(1)"}) {
    EXPECT_FALSE(bridge::isOneJsonText(bad)) << bad;
  }
  EXPECT_FALSE(bridge::isOneJsonText(std::string("\"\xff\"")));
}

TEST(PageRecordTest, roundTripsAndRejectsWrongTypes) {
  Page page{"id-1", "https://a.example/"};
  EXPECT_EQ(page.toJson(), Json::parse(R"({"id":"id-1","url":"https://a.example/"})"));
  EXPECT_EQ(Page::fromJson(page.toJson()), page);
  EXPECT_EQ(Page::fromJson(Json::parse(R"({"id":1,"url":"u"})")), std::nullopt);
  EXPECT_EQ(ActiveTabChangedArgs::fromJson(Json::parse(R"({"activeTabTopPage":[]})")),
            std::nullopt);
}

TEST(BackgroundCommandTest, keepsOnlyFieldsOfTheRightType) {
  auto parse = [](const char* text) { return BackgroundCommand::parse(Json::parse(text)); };

  EXPECT_EQ(parse(R"({"name":"x","pageId":"p1","data":{"k":1}})"),
            (BackgroundCommand{"x", "p1", Json::parse(R"({"k":1})")}));
  EXPECT_EQ(parse(R"({"name":"x","data":[1,2]})"), (BackgroundCommand{"x", {}, {}}));
  EXPECT_EQ(parse(R"({"name":"x","pageId":7,"data":{}})"),
            (BackgroundCommand{"x", {}, Json::object()}));
  EXPECT_EQ(parse(R"({"name":"x","data":null})"), (BackgroundCommand{"x", {}, {}}));

  EXPECT_EQ(parse(R"({"pageId":"p1","data":{}})"), std::nullopt);
  EXPECT_EQ(parse(R"({"name":3})"), std::nullopt);
  EXPECT_EQ(parse(R"(["name","x"])"), std::nullopt);
  EXPECT_EQ(parse("null"), std::nullopt);
}

TEST(BackgroundHandlerTest, namesAreTheThirteenCommandsInDeclaredOrder) {
  std::vector<std::string> names;
  for (auto handler : allBackgroundHandlers) {
    names.emplace_back(toString(handler));
    EXPECT_EQ(backgroundHandlerFromString(names.back()), handler);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"ready", "sendToContentPage", "sendToActiveTab",
                                      "sendToAllContentPages", "fetchBlacklistConfig", "openNewTab",
                                      "updateCurrentTab", "sendToSettingsPopup", "reloadBgPage",
                                      "setBadge", "setBadgeText", "setUserInfo", "oauthComplete"}));
  EXPECT_EQ(backgroundHandlerFromString("Ready"), std::nullopt);
}

TEST(BoolValueTest, readsFlagsLikeTheBrowserScriptsExpect) {
  for (const char* yes :
       {"true", "yes", "1", "Y", "t", "  True", "+1", "-1", "0001", "9x", "\t\n y", "-0t"}) {
    EXPECT_TRUE(boolValue(yes)) << yes;
  }
  for (const char* no : {"false", "no", "0", "", "   ", "000", "+", "x1", "N", "- 1", "0.5"}) {
    EXPECT_FALSE(boolValue(no)) << no;
  }
}

}  // namespace
}  // namespace qv
