#include <gtest/gtest.h>

#include "Common/Felog.h"
#include "Common/SharedData.h"
#include "platform/testing/TestPlatform.h"

namespace qv {
namespace {

using testing::RecordingUrlSession;
using testing::TestPlatform;

enum class TestLogger { sample };
std::string_view toString(TestLogger) {
  return "oauth.handleUrl";
}

class FelogTest : public ::testing::Test {
 protected:
  Felog<TestLogger> makeFelog(Component component = Component::companion,
                              std::string domain = "log.test.example:8443") {
    FelogConfig config{std::move(domain),
                       "/logv2",
                       "https://www.test.example",
                       EnvType::prod,
                       component,
                       ClientInfo{"type", "9.8.7", "vorn"},
                       std::make_shared<SharedUserInfoProvider>(shared),
                       "SESSION-ID"};
    return Felog<TestLogger>(config, fakes.urlSession, fakes.systemLog);
  }

  Json sentRecord(std::size_t index = 0) {
    auto requests = fakes.urlSession->requests();
    return Json::parse(qv::toString(*requests.at(index).body));
  }

  TestPlatform fakes;
  std::shared_ptr<SharedData> shared =
      std::make_shared<SharedData>(*fakes.defaults, fakes.secretStore);
};

TEST_F(FelogTest, postsOneRecordWithTheDocumentedRequestShape) {
  makeFelog().log(TestLogger::sample, LogLevel::warn, "something failed");

  auto requests = fakes.urlSession->requests();
  ASSERT_EQ(requests.size(), 1u);
  const UrlRequest& request = requests[0];
  EXPECT_EQ(request.url, "https://log.test.example:8443/logv2");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.timeout, std::chrono::seconds(60));
  EXPECT_FALSE(request.httpShouldHandleCookies);
  EXPECT_EQ(request.cachePolicy, UrlRequest::CachePolicy::reloadIgnoringLocalAndRemoteCacheData);
  EXPECT_EQ(request.headers, (HeaderFields{{"Origin", "https://www.test.example"},
                                           {"Content-Type", "application/json"}}));
  EXPECT_EQ(sentRecord(), Json::parse(R"({"application":"extensionSafari","version":"9.8.7",
      "env":"prod","sessionId":"SESSION-ID","logger":"companion.oauth.handleUrl","level":"WARN",
      "message":"something failed"})"));
}

TEST_F(FelogTest, identityComesFromTheSharedStoreAtTheMomentOfLogging) {
  Felog<TestLogger> felog = makeFelog(Component::native);
  felog.log(TestLogger::sample, LogLevel::error, std::nullopt);
  shared->companionContainerId.setValue(std::string("companion-cid"));
  felog.log(TestLogger::sample, LogLevel::info, std::nullopt);
  shared->userInfo.setValue(UserInfo{"user-1", false, false, "user-cid"});
  felog.log(TestLogger::sample, LogLevel::info, "x");

  Json none = sentRecord(0);
  EXPECT_FALSE(none.contains("userId"));
  EXPECT_FALSE(none.contains("containerId"));
  EXPECT_FALSE(none.contains("message"));  // absent message: no key at all
  EXPECT_EQ(none["logger"], "native.oauth.handleUrl");
  EXPECT_EQ(none["level"], "ERROR");

  Json companionOnly = sentRecord(1);
  EXPECT_FALSE(companionOnly.contains("userId"));
  EXPECT_EQ(companionOnly["containerId"], "companion-cid");

  Json signedIn = sentRecord(2);
  EXPECT_EQ(signedIn["userId"], "user-1");
  EXPECT_EQ(signedIn["containerId"], "user-cid");
}

TEST_F(FelogTest, reportsOnlyClientErrorsAndTransportFailuresToTheSystemLog) {
  Felog<TestLogger> felog = makeFelog();
  for (int i = 0; i < 5; ++i) felog.log(TestLogger::sample, LogLevel::info, "m");
  fakes.urlSession->completeNext(RecordingUrlSession::http(200));
  fakes.urlSession->completeNext(RecordingUrlSession::http(503));
  fakes.urlSession->completeNext(RecordingUrlSession::http(404));
  fakes.urlSession->completeNext(RecordingUrlSession::http(399));
  fakes.urlSession->completeNext(RecordingUrlSession::transportError("Could not connect"));

  EXPECT_EQ(fakes.systemLog->lines(),
            (std::vector<std::string>{"Error: felog request bad request 404",
                                      "Error: felog request failed: Could not connect",
                                      "Error: felog response has invalid type"}));
}

TEST_F(FelogTest, anUnusableHostOrUnencodableMessageIsReportedAndNothingIsSent) {
  makeFelog(Component::companion, "bad host/with path")
      .log(TestLogger::sample, LogLevel::info, "m");
  makeFelog().log(TestLogger::sample, LogLevel::info, std::string("bad \xff byte"));

  EXPECT_TRUE(fakes.urlSession->requests().empty());
  auto lines = fakes.systemLog->lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Error: felog request failed to create url");
  EXPECT_TRUE(lines[1].starts_with("Error: felog request serialization error: ")) << lines[1];
  EXPECT_EQ(lines[2], "Error: felog request failed to serialize data");
}

TEST(LogMessageTest, decodingRequiresTheSixFixedKeys) {
  LogMessage message{"extensionSafari", "1", EnvType::prod, "s",
                     std::nullopt,      "c", "native.x",    LogLevel::info,
                     std::nullopt};
  EXPECT_EQ(LogMessage::fromJson(message.toJson()), message);
  Json withoutLevel = message.toJson();
  withoutLevel.erase("level");
  EXPECT_EQ(LogMessage::fromJson(withoutLevel), std::nullopt);
}

}  // namespace
}  // namespace qv
