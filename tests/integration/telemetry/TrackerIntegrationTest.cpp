// The tracker, its client and the user fetch over the real platform: libcurl to an HTTPS
// server on 127.0.0.1, libsoup's cookie parser, SQLite defaults, the GLib main queue.
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>

#include "Common/SharedData.h"
#include "companion/telemetry/Auth.h"
#include "companion/telemetry/Tracker.h"
#include "platform/linux/net/CurlUrlSession.h"
#include "platform/linux/net/SoupCookieParser.h"
#include "platform/linux/store/SqliteSecretStore.h"
#include "platform/linux/store/SqliteUserDefaults.h"
#include "platform/linux/system/GlibMainQueue.h"
#include "platform/linux/system/OpenSslCrypto.h"
#include "platform/linux/system/SystemClock.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::HttpsTestServer;
using test::RecordedRequest;
using test::runUntil;
using test::TempDir;
using test::TestResponse;

constexpr const char* userPath = "/v3/user/oranonymous";
constexpr const char* webOrigin = "https://www.test.example";
constexpr const char* anonymousBody =
    R"({"id":"anon-42","email":"","groups":[],"name":"","anonymous":true,"isTest":false})";

std::vector<RecordedRequest> requestsTo(const HttpsTestServer& server, const std::string& path) {
  std::vector<RecordedRequest> matching;
  for (const RecordedRequest& request : server.requests()) {
    if (request.path == path) matching.push_back(request);
  }
  return matching;
}

// One companion process: its platform, shared data, user fetch and tracker.
class TrackerIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    server.handle("POST", "/", TestResponse{200, {}, "", "text/plain"});
  }

  void answerUserFetch(int status, const std::string& containerCookie) {
    test::TestHeaders headers;
    if (!containerCookie.empty()) {
      headers.emplace_back("Set-Cookie",
                           "vorn_containerId=" + containerCookie + "; Path=/; Secure; HttpOnly");
    }
    server.handle("POST", userPath,
                  TestResponse{status, headers, anonymousBody, "application/json"});
  }

  std::shared_ptr<Tracker> startTracker() {
    auto auth = std::make_shared<Auth>("safari-ext", "1.2.3", server.hostAndPort(), session,
                                       std::make_shared<SoupCookieParser>());
    VornServices services{session, defaults.standard("com.quorvane.safari"),
                          std::make_shared<SystemClock>(), std::make_shared<OpenSslCrypto>(),
                          mainQueue};
    return Tracker::create("safari", "1.2.3", Component::companion, auth, shared,
                           /*forceIsTest=*/true, /*isPingDisabled=*/true, server.hostAndPort(),
                           webOrigin, services);
  }

  // Starts the tracker (which fetches the user) and has it send the app start; true once
  // the event reached the server.
  bool launchUntilAppStartArrives() {
    tracker = startTracker();
    tracker->vorn().trackAppStart();
    return runUntil([&] { return !requestsTo(server, "/").empty(); });
  }

  HttpsTestServer server;
  TempDir home;
  std::shared_ptr<GlibMainQueue> mainQueue = std::make_shared<GlibMainQueue>();
  std::shared_ptr<CurlUrlSession> session = std::make_shared<CurlUrlSession>(server.caPemPath());
  LinuxUserDefaultsFactory defaults{home.path()};
  SharedData shared{defaults,
                    std::make_shared<SqliteSecretStore>(home.path() + "/secrets.sqlite3")};
  std::shared_ptr<Tracker> tracker;  // last, so that it goes first
};

TEST_F(TrackerIntegrationTest, FirstLaunchFetchesTheAnonymousUserAndSendsTheQueuedAppStart) {
  answerUserFetch(200, "server-cid-1");
  ASSERT_TRUE(launchUntilAppStartArrives());

  auto fetches = requestsTo(server, userPath);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].method, "POST");
  EXPECT_EQ(fetches[0].header("x-client-type"), "safari-ext");
  EXPECT_EQ(fetches[0].header("x-client-version"), "1.2.3");
  EXPECT_FALSE(fetches[0].header("x-container-id"));
  EXPECT_FALSE(fetches[0].header("cookie"));

  // The server's container id is now the shared one, as stored bytes in the suite.
  EXPECT_EQ(shared.companionContainerId.value(), "server-cid-1");
  auto stored = defaults.suite("K4ZT7P2QN8.group.com.quorvane.safari.extension")
                    ->data("companionContainerId");
  ASSERT_TRUE(stored);
  EXPECT_EQ(toString(*stored), R"(["server-cid-1"])");

  auto events = requestsTo(server, "/");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].method, "POST");
  EXPECT_EQ(events[0].header("origin"), webOrigin);
  EXPECT_EQ(events[0].header("content-type"), "application/json");
  nlohmann::json body = nlohmann::json::parse(events[0].body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << events[0].body;
  ASSERT_TRUE(body["instanceId"].is_string());
  std::string instanceId = body["instanceId"];
  EXPECT_TRUE(std::regex_match(instanceId, std::regex("[A-Za-z0-9]{8}"))) << instanceId;
  EXPECT_EQ(body, nlohmann::json::parse(R"({
      "client": "safari", "clientVersion": "1.2.3", "containerId": "server-cid-1",
      "instanceId": ")" + instanceId + R"(", "batchId": 1,
      "events": [{"component": "companion", "object": "app", "action": "start",
                  "eventName": "safari/companion/app-start", "userId": "anon-42",
                  "isTest": true}]})"));
}

TEST_F(TrackerIntegrationTest, LaterLaunchSendsTheStoredContainerIdAndKeepsIt) {
  shared.companionContainerId.setValue(std::string("stored-cid"));
  answerUserFetch(200, "another-cid");
  ASSERT_TRUE(launchUntilAppStartArrives());
  auto fetches = requestsTo(server, userPath);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].header("x-container-id"), "stored-cid");
  EXPECT_EQ(fetches[0].header("cookie"), "vorn_containerId=stored-cid");
  EXPECT_EQ(shared.companionContainerId.value(), "stored-cid");
  nlohmann::json body = nlohmann::json::parse(requestsTo(server, "/")[0].body, nullptr, false);
  EXPECT_EQ(body["containerId"], "stored-cid");
}

TEST_F(TrackerIntegrationTest, AUserSharedLaterIsPickedUpFromTheStoreWatcher) {
  answerUserFetch(500, "");
  auto tracker = startTracker();
  tracker->vorn().trackAppStart();
  ASSERT_TRUE(server.waitForRequests(1));

  // Another writer of the suite (the extension) shares its signed-in user; the change
  // arrives on the store's watcher thread and reaches the client on this one.
  SharedData extensionSide{defaults,
                           std::make_shared<SqliteSecretStore>(home.path() + "/x.sqlite3")};
  extensionSide.userInfo.setValue(UserInfo{"user-9", false, false, "ext-cid"});

  ASSERT_TRUE(runUntil([&] { return !requestsTo(server, "/").empty(); }));
  EXPECT_EQ(tracker->vorn().client->userInfo(), (UserInfo{"user-9", false, false, "ext-cid"}));
  nlohmann::json body = nlohmann::json::parse(requestsTo(server, "/")[0].body, nullptr, false);
  EXPECT_EQ(body["containerId"], "ext-cid");
  EXPECT_EQ(body["events"][0]["userId"], "user-9");
  EXPECT_EQ(shared.companionContainerId.value(), std::nullopt);
}

TEST(AuthIntegrationTest, SessionCookiesForTheAuthHostWinAndForeignOnesAreIgnored) {
  HttpsTestServer server;
  ASSERT_TRUE(server.ok());
  server.handle("POST", userPath,
                TestResponse{200,
                             {{"Set-Cookie", "qvauth=tok.en; Path=/; Secure; HttpOnly"},
                              {"Set-Cookie", "csrf-token=csrf-1; Path=/"},
                              {"Set-Cookie", "vorn_containerId=cid-1; Path=/"},
                              {"Set-Cookie", "vorn_containerId=evil; Domain=evil.example"}},
                             R"({"id":"u","email":"e@x","groups":["a"],"name":"N",)"
                             R"("anonymous":false,"isTest":false,"containerId":"body-cid"})",
                             "application/json"});
  auto session = std::make_shared<CurlUrlSession>(server.caPemPath());
  Auth auth("safari-ext", "1.2.3", server.hostAndPort(), session,
            std::make_shared<SoupCookieParser>());

  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::optional<User>> result;
  auth.fetchUser(Tokens{"old", "old-csrf"}, std::string("old-cid"), [&](std::optional<User> user) {
    std::lock_guard lock(mutex);
    result = std::move(user);
    changed.notify_all();
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return result.has_value(); }));
  ASSERT_TRUE(*result);
  EXPECT_EQ((*result)->tokens, (Tokens{"tok.en", "csrf-1"}));
  EXPECT_EQ((*result)->containerId, "cid-1");

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("x-csrf-token"), "old-csrf");
  EXPECT_EQ(requests[0].headerCount("cookie"), 1u);
  EXPECT_EQ(requests[0].header("cookie"),
            "qvauth=old; csrf-token=old-csrf; vorn_containerId=old-cid");
}

}  // namespace
}  // namespace qv
