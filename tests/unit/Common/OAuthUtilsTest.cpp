#include <gtest/gtest.h>

#include "Common/OAuthUtils.h"

namespace qv {
namespace {

using OAuthUtils::parseResultUrl;

TEST(OAuthUtilsTest, acceptsTheCallbackWithEmptyOrRootPath) {
  OAuthResultUrlData expected{"A", "B"};
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code=A&code_challenge=B"), expected);
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth/?code_challenge=B&code=A&x=1"), expected);
  // Values are percent-decoded after the query is split.
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code=a%26b&code_challenge=c%3Dd"),
            (OAuthResultUrlData{"a&b", "c=d"}));
}

TEST(OAuthUtilsTest, laterItemsOverrideAndValuelessItemsClear) {
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code=A&code=C&code_challenge=B"),
            (OAuthResultUrlData{"C", "B"}));
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code=A&code&code_challenge=B"),
            std::nullopt);
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code&code=A&code_challenge=B"),
            (OAuthResultUrlData{"A", "B"}));
  EXPECT_EQ(parseResultUrl("quorvane.extension://oauth?code=&code_challenge="),
            (OAuthResultUrlData{"", ""}));
}

TEST(OAuthUtilsTest, rejectsEverythingElse) {
  for (const char* url : {
           "quorvane.extension://oauth?code=A",
           "quorvane.extension://oauth?code_challenge=B",
           "quorvane.extension://oauth",
           "quorvane.extension://other?code=A&code_challenge=B",
           "quorvane.extension://OAUTH?code=A&code_challenge=B",
           "QUORVANE.extension://oauth?code=A&code_challenge=B",
           "https://oauth?code=A&code_challenge=B",
           "quorvane.extension://oauth/x?code=A&code_challenge=B",
           "quorvane.extension:oauth?code=A&code_challenge=B",
           "not a url",
           "",
       }) {
    EXPECT_EQ(parseResultUrl(std::string(url)), std::nullopt) << url;
  }
  EXPECT_EQ(parseResultUrl(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace qv
