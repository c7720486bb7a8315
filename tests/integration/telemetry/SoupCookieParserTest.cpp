#include "platform/linux/net/SoupCookieParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv {
namespace {

using Cookies = std::vector<std::pair<std::string, std::string>>;

Cookies parse(const HeaderFields& headers,
              const std::string& url = "https://auth.test.example/v3/user/oranonymous") {
  Cookies result;
  for (const CookieParser::Cookie& cookie : SoupCookieParser().cookies(headers, url)) {
    result.emplace_back(cookie.name, cookie.value);
  }
  return result;
}

TEST(SoupCookieParserTest, ReadsEverySetCookieHeaderInOrderWithoutItsAttributes) {
  EXPECT_EQ(
      parse({{"Content-Type", "application/json"},
             {"Set-Cookie", "qvauth=a.b.c; Path=/; Secure; HttpOnly; SameSite=None"},
             {"set-cookie", "csrf-token=x%3Dy; Max-Age=3600"},
             {"SET-COOKIE", "vorn_containerId=\"quoted\"; Expires=Wed, 21 Oct 2065 07:28:00 GMT"},
             {"Set-Cookie2", "old=style"},
             {"X-Set-Cookie", "not=this"},
             {"Set-Cookie", "qvauth=later"}}),
      (Cookies{{"qvauth", "a.b.c"},
               {"csrf-token", "x%3Dy"},
               {"vorn_containerId", "\"quoted\""},
               {"qvauth", "later"}}));
}

TEST(SoupCookieParserTest, AppliesTheDomainRulesOfTheAnsweringUrl) {
  EXPECT_EQ(parse({{"Set-Cookie", "a=1; Domain=test.example"},
                   {"Set-Cookie", "b=2; Domain=.test.example"},
                   {"Set-Cookie", "c=3; Domain=auth.test.example"},
                   {"Set-Cookie", "d=4; Domain=evil.example"},
                   {"Set-Cookie", "e=5; Domain=other.test.example"}}),
            (Cookies{{"a", "1"}, {"b", "2"}, {"c", "3"}}));

  // An address host takes only host cookies.
  EXPECT_EQ(
      parse({{"Set-Cookie", "vorn_containerId=x"}, {"Set-Cookie", "y=1; Domain=evil.example"}},
            "https://127.0.0.1:8443/v3/user/oranonymous"),
      (Cookies{{"vorn_containerId", "x"}}));
}

TEST(SoupCookieParserTest, UnusableInputGivesNoCookies) {
  EXPECT_TRUE(parse({{"Set-Cookie", "a=1"}}, "not a url").empty());
  EXPECT_TRUE(parse({{"Set-Cookie", "a=1"}}, "").empty());
  EXPECT_TRUE(parse({{"Set-Cookie", "a=1"}}, std::string("https://a.example\0.evil", 23)).empty());
  // A NUL would let the C parser read a different cookie than the one sent.
  EXPECT_TRUE(parse({{"Set-Cookie", std::string("a=1\0; Domain=evil.example", 25)}}).empty());
}

}  // namespace
}  // namespace qv
