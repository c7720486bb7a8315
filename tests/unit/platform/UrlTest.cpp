#include <gtest/gtest.h>

#include "platform/Url.h"

namespace qv {
namespace {

TEST(UrlComponentsTest, parsesCustomSchemesAndSplitsTheRawQueryBeforeDecoding) {
  auto url = UrlComponents::parse("quorvane.extension://oauth?code=a%26b&code_challenge=x+y&flag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme, "quorvane.extension");
  EXPECT_EQ(url->host, "oauth");
  EXPECT_EQ(url->path, "/");
  ASSERT_TRUE(url->queryItems);
  EXPECT_EQ(
      *url->queryItems,
      (std::vector<QueryItem>{{"code", "a&b"}, {"code_challenge", "x+y"}, {"flag", std::nullopt}}));
}

TEST(UrlComponentsTest, distinguishesNoQueryFromOtherParts) {
  auto url = UrlComponents::parse("https://example.com:8443/a/b#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->port, 8443);
  EXPECT_EQ(url->path, "/a/b");
  EXPECT_FALSE(url->queryItems);
  EXPECT_EQ(url->fragment, "frag");
  EXPECT_FALSE(UrlComponents::parse("not a url"));
  EXPECT_FALSE(UrlComponents::parse(""));
}

TEST(UrlComponentsTest, buildsWithRfc3986CleanQueryEncoding) {
  UrlComponents parts;
  parts.scheme = "https";
  parts.host = "www.example.com";
  parts.path = "/signin";
  parts.queryItems = std::vector<QueryItem>{{"client_id", "extension-safari"},
                                            {"code_challenge", "ab-_~ c/+="},
                                            {"use_postmessage", "true"}};
  EXPECT_EQ(parts.string(),
            "https://www.example.com/signin?client_id=extension-safari"
            "&code_challenge=ab-_~%20c%2F%2B%3D&use_postmessage=true");
}

TEST(UrlComponentsTest, httpsAcceptsHostWithPortAndRejectsAnythingElse) {
  auto url = UrlComponents::https("127.0.0.1:8443", "/logv2");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->string(), "https://127.0.0.1:8443/logv2");
  EXPECT_FALSE(UrlComponents::https("host/path", "/x"));
  EXPECT_FALSE(UrlComponents::https("user@host", "/x"));
  EXPECT_FALSE(UrlComponents::https("", "/x"));
  EXPECT_FALSE(UrlComponents::https("bad host", "/x"));
}

}  // namespace
}  // namespace qv
