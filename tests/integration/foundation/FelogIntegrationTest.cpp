#include <gtest/gtest.h>

#include "Common/Identifiers.h"
#include "SafariExtension/Env.h"
#include "platform/linux/net/CurlUrlSession.h"
#include "platform/linux/store/SqliteUserDefaults.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/linux/system/OpenSslCrypto.h"
#include "platform/testing/CapturedSystemLog.h"
#include "platform/testing/InMemorySecretStore.h"
#include "platform/testing/ManualMainQueue.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

// An extension bundle on disk whose log host is the test server.
std::string writeBundle(const test::TempDir& dir, const std::string& logHost) {
  dir.write("Ext.appex/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleName</key><string>Quorvane</string>
<key>CFBundleIdentifier</key><string>com.quorvane.safari.ext</string>
<key>QVDeployment</key><dict>
<key>WebOrigin</key><string>https://www.test.example</string>
<key>BareDomain</key><string>test.example</string>
<key>AuthHost</key><string>auth.test.example</string>
<key>AnalyticsHost</key><string>vorn.test.example</string>
<key>LogHost</key><string>)" + logHost + R"(</string>
</dict></dict></plist>)");
  dir.write("Ext.appex/Contents/Resources/clientInfo.json",
            R"({"clientType":"t","clientVersion":"4.5.6","vornClientType":"v"})");
  return dir.path() + "/Ext.appex";
}

// The extension's environment over the real bundle reader, SQLite store and libcurl,
// with the system log captured.
class FelogIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    server.handle("POST", "/logv2", [this](const test::RecordedRequest&) {
      return test::TestResponse{status.load(), {}, "{}", "application/json"};
    });
    auto clock = std::make_shared<testing::ManualClock>();
    platform = Platform{std::make_shared<LinuxBundle>(writeBundle(dir, server.hostAndPort())),
                        std::make_shared<LinuxUserDefaultsFactory>(dir.path() + "/config"),
                        std::make_shared<CurlUrlSession>(server.caPemPath()),
                        std::make_shared<testing::InMemorySecretStore>(),
                        systemLog,
                        std::make_shared<testing::ManualMainQueue>(clock),
                        clock,
                        std::make_shared<OpenSslCrypto>()};
  }

  test::TempDir dir;
  test::HttpsTestServer server;
  std::atomic<int> status{200};
  std::shared_ptr<testing::CapturedSystemLog> systemLog =
      std::make_shared<testing::CapturedSystemLog>();
  Platform platform;
};

TEST_F(FelogIntegrationTest, aRecordArrivesWithExactlyTheDocumentedMembersAndHeaders) {
  Env env(platform);
  env.sharedData->companionContainerId.setValue(std::string("container-7"));
  env.felog->log(NativeLogger::oauthExchange, LogLevel::warn, "Invalid code or codeVerification");

  ASSERT_TRUE(server.waitForRequests(1));
  test::RecordedRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/logv2");
  EXPECT_EQ(request.header("origin"), "https://www.test.example");
  EXPECT_EQ(request.header("content-type"), "application/json");
  EXPECT_EQ(request.headerCount("cookie"), 0u);

  Json body = Json::parse(request.body);
  Json expected{{"application", "extensionSafari"},
                {"version", "4.5.6"},
                {"env", "prod"},
                {"sessionId", env.felog->config().sessionId},
                {"containerId", "container-7"},
                {"logger", "native.oauth.exchange"},
                {"level", "WARN"},
                {"message", "Invalid code or codeVerification"}};
  EXPECT_EQ(body, expected);  // and no userId: nobody is signed in
}

TEST_F(FelogIntegrationTest, onlyClientErrorsReachTheSystemLog) {
  Env env(platform);
  status = 503;
  env.felog->log(NativeLogger::pageActivePage, LogLevel::error, "Missing url field");
  ASSERT_TRUE(server.waitForRequests(1));
  status = 404;
  env.felog->log(NativeLogger::pageActivePage, LogLevel::error, "Missing url field");
  ASSERT_TRUE(server.waitForRequests(2));

  // The completion runs on the session's thread after the server answered.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (systemLog->lines().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(systemLog->lines(), std::vector<std::string>{"Error: felog request bad request 404"});
}

TEST_F(FelogIntegrationTest, anUnreachableEndpointWritesTheTransportLines) {
  std::string closedPort = "127.0.0.1:1";
  Platform unreachable = platform;
  auto bundleDir = std::make_unique<test::TempDir>();
  unreachable.mainBundle = std::make_shared<LinuxBundle>(writeBundle(*bundleDir, closedPort));
  Env offline(unreachable);
  offline.felog->log(NativeLogger::oauthExchange, LogLevel::info, std::nullopt);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (systemLog->lines().size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto lines = systemLog->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("Error: felog request failed: ")) << lines[0];
  EXPECT_EQ(lines[1], "Error: felog response has invalid type");
}

}  // namespace
}  // namespace qv
