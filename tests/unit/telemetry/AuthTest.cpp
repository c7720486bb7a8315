#include "companion/telemetry/Auth.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "TelemetryTestSupport.h"
#include "platform/testing/RecordingUrlSession.h"
#include "platform/testing/ScriptedCookieParser.h"

namespace qv {
namespace {

using testing::header;
using testing::RecordingUrlSession;
using testing::ScriptedCookieParser;

constexpr const char* anonymousBody =
    R"({"id":"u-1","email":"","groups":["g"],"name":"Anon","anonymous":true,"isTest":false})";

std::set<std::string> cookieEntries(const UrlRequest& request) {
  std::set<std::string> entries;
  std::optional<std::string> cookie = header(request, "cookie");
  if (!cookie) return entries;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = cookie->find("; ", start);
    entries.insert(cookie->substr(start, end - start));
    if (end == std::string::npos) return entries;
    start = end + 2;
  }
}

class AuthTest : public ::testing::Test {
 protected:
  // Runs one fetch answered with `answer`; the outer optional says whether the
  // completion ran at all.
  std::optional<std::optional<User>> fetch(const std::optional<Tokens>& tokens,
                                           const std::optional<std::string>& containerId,
                                           UrlTaskResult answer) {
    std::optional<std::optional<User>> received;
    int calls = 0;
    auth.fetchUser(tokens, containerId, [&](std::optional<User> user) {
      ++calls;
      received = std::move(user);
    });
    session->completeNext(std::move(answer));
    EXPECT_LE(calls, 1);
    return received;
  }

  std::optional<User> fetchAnswered(UrlTaskResult answer) {
    return fetch(std::nullopt, std::nullopt, std::move(answer)).value_or(std::nullopt);
  }

  std::shared_ptr<RecordingUrlSession> session = std::make_shared<RecordingUrlSession>();
  std::shared_ptr<ScriptedCookieParser> parser = std::make_shared<ScriptedCookieParser>();
  Auth auth{"safari-ext", "1.2.3", testing::authHost, session, parser};
};

TEST_F(AuthTest, requestCarriesTheSessionValuesAsHeadersAndOneCookieHeader) {
  const Tokens tokens{"A", "C"};
  auth.fetchUser(std::nullopt, std::nullopt, nullptr);
  auth.fetchUser(std::nullopt, std::string("cid"), nullptr);
  auth.fetchUser(tokens, std::nullopt, nullptr);
  auth.fetchUser(tokens, std::string("cid"), nullptr);
  auto requests = session->requests();
  ASSERT_EQ(requests.size(), 4u);

  for (const UrlRequest& request : requests) {
    EXPECT_EQ(request.url, testing::userUrl);
    EXPECT_EQ(request.method, "POST");
    EXPECT_FALSE(request.body);
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
    EXPECT_FALSE(request.httpShouldHandleCookies);
    EXPECT_EQ(request.cachePolicy, UrlRequest::CachePolicy::reloadIgnoringLocalAndRemoteCacheData);
    EXPECT_EQ(header(request, "X-Client-Type"), "safari-ext");
    EXPECT_EQ(header(request, "X-Client-Version"), "1.2.3");
  }

  EXPECT_EQ(requests[0].headers.size(), 2u);  // the client headers only, no cookie

  EXPECT_EQ(header(requests[1], "X-Container-Id"), "cid");
  EXPECT_EQ(header(requests[1], "cookie"), "vorn_containerId=cid");
  EXPECT_FALSE(header(requests[1], "X-CSRF-Token"));

  EXPECT_EQ(header(requests[2], "X-CSRF-Token"), "C");
  EXPECT_FALSE(header(requests[2], "X-Container-Id"));
  EXPECT_EQ(cookieEntries(requests[2]), (std::set<std::string>{"qvauth=A", "csrf-token=C"}));

  EXPECT_EQ(header(requests[3], "X-CSRF-Token"), "C");
  EXPECT_EQ(header(requests[3], "X-Container-Id"), "cid");
  EXPECT_EQ(cookieEntries(requests[3]),
            (std::set<std::string>{"qvauth=A", "csrf-token=C", "vorn_containerId=cid"}));
}

TEST_F(AuthTest, valuesThatCouldBreakAHeaderAreTreatedAsAbsent) {
  const std::string withNul("c\0d", 3);
  for (const std::string& bad : {std::string("c\r\nX-Evil: 1"), std::string("c\n"), withNul}) {
    UrlRequest request = auth.makeRequest(Tokens{"A", "C"}, bad, testing::userUrl, "POST");
    EXPECT_FALSE(header(request, "X-Container-Id"));
    EXPECT_EQ(cookieEntries(request), (std::set<std::string>{"qvauth=A", "csrf-token=C"}));

    request = auth.makeRequest(Tokens{bad, "C"}, std::string("cid"), testing::userUrl, "POST");
    EXPECT_FALSE(header(request, "X-CSRF-Token"));
    EXPECT_EQ(header(request, "cookie"), "vorn_containerId=cid");

    request = auth.makeRequest(Tokens{"A", bad}, bad, testing::userUrl, "POST");
    EXPECT_EQ(request.headers.size(), 2u);
  }

  // What was left out is not reported back as "sent" either.
  auto user =
      fetch(Tokens{"A\r", "C"}, std::string("c\n"), RecordingUrlSession::http(200, anonymousBody));
  ASSERT_TRUE(user && *user);
  EXPECT_FALSE((*user)->tokens);
  EXPECT_FALSE((*user)->containerId);
}

TEST_F(AuthTest, aHostThatFormsNoUrlSendsNothingAndNeverCompletes) {
  Auth broken{"safari-ext", "1.2.3", "bad host/with path", session, parser};
  bool called = false;
  broken.fetchUser(std::nullopt, std::nullopt, [&](std::optional<User>) { called = true; });
  EXPECT_EQ(session->requests().size(), 0u);
  EXPECT_FALSE(called);
}

TEST_F(AuthTest, onlyStatus200And204WithADecodableBodyGiveAUser) {
  auto user = fetchAnswered(RecordingUrlSession::http(200, anonymousBody));
  ASSERT_TRUE(user);
  EXPECT_EQ(*user, (User{"u-1", "", {"g"}, "Anon", true, false, std::nullopt, std::nullopt}));

  // 204 passes the status check; without a body it still yields nobody.
  EXPECT_FALSE(fetchAnswered(RecordingUrlSession::http(204)));
  EXPECT_TRUE(fetchAnswered(RecordingUrlSession::http(204, anonymousBody)));

  for (long status : {201L, 301L, 401L, 500L}) {
    EXPECT_FALSE(fetchAnswered(RecordingUrlSession::http(status, anonymousBody))) << status;
  }
  EXPECT_FALSE(fetchAnswered(RecordingUrlSession::transportError("offline")));

  UrlTaskResult noResponse;
  noResponse.data = toBytes(anonymousBody);
  EXPECT_FALSE(fetchAnswered(noResponse));

  UrlTaskResult noBytes = RecordingUrlSession::http(200);
  noBytes.data.reset();
  EXPECT_FALSE(fetchAnswered(noBytes));

  // Every failure still completes exactly once.
  auto completed = fetch(std::nullopt, std::nullopt, RecordingUrlSession::http(500));
  ASSERT_TRUE(completed);
  EXPECT_FALSE(*completed);
}

TEST_F(AuthTest, bodyDecodingIsStrict) {
  const char* rejected[] = {
      R"({"id":"u","email":"","groups":[],"name":"","isTest":false})",
      R"({"id":"u","email":"","groups":[],"name":"","isAnonymous":true,"isTest":false})",
      R"({"id":"u","email":"","groups":[],"name":"","anonymous":"true","isTest":false})",
      R"({"id":"u","email":"","groups":[1],"name":"","anonymous":true,"isTest":false})",
      R"({"id":"u","email":"","name":"","anonymous":true,"isTest":false})",
      R"({"id":"u","email":"","groups":[],"name":"","anonymous":true,"isTest":false,"containerId":7})",
      R"({"id":"u","email":"","groups":[],"name":"","anonymous":true,"isTest":false,"tokens":{"auth":"a"}})",
      R"([{"id":"u"}])",
      "{\"id\":\"\xff\",\"email\":\"\",\"groups\":[],\"name\":\"\",\"anonymous\":true,\"isTest\":"
      "false}",
      "not json",
  };
  for (const char* body : rejected) {
    EXPECT_FALSE(fetchAnswered(RecordingUrlSession::http(200, body))) << body;
  }

  const char* accepted[] = {
      R"({"id":"u","email":"","groups":[],"name":"","anonymous":false,"isTest":true,"containerId":null,"tokens":null,"extra":1})",
      R"({"id":"u","email":"","groups":[],"name":"","anonymous":false,"isTest":true,"containerId":"b","tokens":{"auth":"a","csrf":"c"}})",
  };
  for (const char* body : accepted) {
    EXPECT_TRUE(fetchAnswered(RecordingUrlSession::http(200, body))) << body;
  }
}

TEST_F(AuthTest, cookiesOfTheAnswerWinOverTheSentValuesAndTheBodyIsNeverUsed) {
  const std::string body =
      R"({"id":"u","email":"e","groups":[],"name":"n","anonymous":false,"isTest":false,)"
      R"("containerId":"body-cid","tokens":{"auth":"body-a","csrf":"body-c"}})";
  const HeaderFields headers{{"Set-Cookie", "whatever the parser makes of it"}};

  parser->setCookies({{"qvauth", "cookie-a"},
                      {"csrf-token", "cookie-c"},
                      {"vorn_containerId", "cookie-cid"},
                      {"unrelated", "x"}});
  auto user = fetch(Tokens{"sent-a", "sent-c"}, std::string("sent-cid"),
                    RecordingUrlSession::http(200, body, headers));
  ASSERT_TRUE(user && *user);
  EXPECT_EQ((*user)->tokens, (Tokens{"cookie-a", "cookie-c"}));
  EXPECT_EQ((*user)->containerId, "cookie-cid");
  // The parser saw the answer's headers for the URL that was asked.
  ASSERT_EQ(parser->calls().size(), 1u);
  EXPECT_EQ(parser->calls()[0].headers, headers);
  EXPECT_EQ(parser->calls()[0].url, testing::userUrl);

  // Half the tokens keep the sent ones; no container cookie keeps the sent id.
  parser->setCookies({{"qvauth", "cookie-a"}});
  user = fetch(Tokens{"sent-a", "sent-c"}, std::string("sent-cid"),
               RecordingUrlSession::http(200, body));
  ASSERT_TRUE(user && *user);
  EXPECT_EQ((*user)->tokens, (Tokens{"sent-a", "sent-c"}));
  EXPECT_EQ((*user)->containerId, "sent-cid");

  // Nothing sent and no cookies: the body's members still do not count.
  parser->setCookies({});
  user = fetch(std::nullopt, std::nullopt, RecordingUrlSession::http(200, body));
  ASSERT_TRUE(user && *user);
  EXPECT_FALSE((*user)->tokens);
  EXPECT_FALSE((*user)->containerId);
}

TEST_F(AuthTest, readCookiesKeepsTheNamedOnesAndTheLaterOfTwo) {
  parser->setCookies(
      {{"qvauth", "first"}, {"other", "x"}, {"qvauth", "second"}, {"csrf-token", ""}});
  Auth::Cookies cookies = auth.readCookies({"qvauth", "csrf-token"}, {}, testing::userUrl);
  EXPECT_EQ(cookies, (Auth::Cookies{{"qvauth", "second"}, {"csrf-token", ""}}));

  EXPECT_EQ(Auth::tokensFromCookies(cookies), (Tokens{"second", ""}));
  EXPECT_FALSE(Auth::tokensFromCookies({{"qvauth", "a"}}));
  EXPECT_FALSE(Auth::tokensFromCookies({{"csrf-token", "c"}}));
}

TEST_F(AuthTest, recordsEncodeWithTheServiceKeysAndLeaveOutAbsentMembers) {
  User user{"u", "e", {"a", "b"}, "n", true, false, std::nullopt, std::nullopt};
  EXPECT_EQ(
      user.toJson().dump(),
      R"({"id":"u","email":"e","groups":["a","b"],"name":"n","anonymous":true,"isTest":false})");
  user.containerId = "cid";
  user.tokens = Tokens{"a", "c"};
  EXPECT_EQ(User::fromJson(user.toJson()), user);
}

}  // namespace
}  // namespace qv
