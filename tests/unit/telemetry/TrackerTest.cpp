#include "companion/telemetry/Tracker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TelemetryTestSupport.h"
#include "platform/testing/ScriptedCookieParser.h"

namespace qv {
namespace {

using testing::bodyOf;
using testing::header;
using testing::RecordingUrlSession;
using testing::ScriptedCookieParser;
using testing::TestPlatform;

constexpr const char* anonymousBody =
    R"({"id":"anon-7","email":"","groups":[],"name":"","anonymous":true,"isTest":true})";

const UserInfo sharedUser{"user-1", false, false, "shared-cid"};

class TrackerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Tracker> makeTracker() {
    return Tracker::create("safari", "1.2.3", Component::companion, auth, shared, false, true,
                           testing::vornHost, testing::webOrigin, testing::vornServices(fakes));
  }

  std::vector<UrlRequest> requestsTo(const std::string& url) const {
    std::vector<UrlRequest> matching;
    for (const UrlRequest& request : fakes.urlSession->requests()) {
      if (request.url == url) matching.push_back(request);
    }
    return matching;
  }
  void answerFetch(long status = 200, const std::string& body = anonymousBody) {
    ASSERT_EQ(fakes.urlSession->pendingCount(), 1u);
    ASSERT_TRUE(fakes.urlSession->completeNext(RecordingUrlSession::http(status, body)));
  }

  TestPlatform fakes;
  SharedData shared{*fakes.defaults, fakes.secretStore};
  std::shared_ptr<ScriptedCookieParser> cookies = std::make_shared<ScriptedCookieParser>();
  std::shared_ptr<Auth> auth =
      std::make_shared<Auth>("safari-ext", "1.2.3", testing::authHost, fakes.urlSession, cookies);
};

TEST_F(TrackerTest, aSharedUserAtStartIsUsedWithoutAFetch) {
  shared.userInfo.setValue(sharedUser);
  auto tracker = makeTracker();
  EXPECT_EQ(tracker->vorn().client->userInfo(), sharedUser);

  tracker->vorn().trackAppStart();
  EXPECT_TRUE(requestsTo(testing::userUrl).empty());
  auto events = requestsTo(testing::vornEndpoint);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(header(events[0], "Origin"), testing::webOrigin);
  EXPECT_EQ(bodyOf(events[0])["containerId"], "shared-cid");
}

TEST_F(TrackerTest, firstLaunchFetchesAnAnonymousUserAndSeedsTheContainerId) {
  auto tracker = makeTracker();
  auto fetches = requestsTo(testing::userUrl);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_FALSE(header(fetches[0], "X-Container-Id"));
  EXPECT_FALSE(header(fetches[0], "cookie"));
  EXPECT_FALSE(header(fetches[0], "X-CSRF-Token"));

  tracker->vorn().trackAppStart();  // waits for the user
  cookies->setCookies({{"vorn_containerId", "server-cid"}});
  answerFetch();
  // The answer only hops; the main queue applies it.
  EXPECT_FALSE(tracker->vorn().client->hasUserInfo());
  EXPECT_EQ(shared.companionContainerId.value(), std::nullopt);

  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(shared.companionContainerId.value(), "server-cid");
  EXPECT_EQ(tracker->vorn().client->userInfo(), (UserInfo{"anon-7", true, true, "server-cid"}));
  EXPECT_EQ(shared.userInfo.value(), std::nullopt);  // the fetched user serves analytics only
  auto events = requestsTo(testing::vornEndpoint);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(bodyOf(events[0])["containerId"], "server-cid");
  EXPECT_EQ(bodyOf(events[0])["events"][0]["eventName"], "safari/companion/app-start");
  EXPECT_EQ(bodyOf(events[0])["events"][0]["userId"], "anon-7");
}

TEST_F(TrackerTest, aLaterLaunchSendsAndKeepsTheStoredContainerId) {
  shared.companionContainerId.setValue(std::string("stored-cid"));
  auto tracker = makeTracker();
  auto fetches = requestsTo(testing::userUrl);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(header(fetches[0], "X-Container-Id"), "stored-cid");
  EXPECT_EQ(header(fetches[0], "cookie"), "vorn_containerId=stored-cid");

  cookies->setCookies({{"vorn_containerId", "different-cid"}});
  answerFetch();
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(shared.companionContainerId.value(), "stored-cid");
  EXPECT_EQ(tracker->vorn().client->userInfo()->containerId, "stored-cid");
}

TEST_F(TrackerTest, aFetchThatYieldsNoUsableUserLeavesEventsQueued) {
  auto tracker = makeTracker();
  tracker->vorn().trackAppStart();
  answerFetch();  // no container id from cookie or request
  fakes.mainQueue->runUntilIdle();
  EXPECT_FALSE(tracker->vorn().client->hasUserInfo());
  EXPECT_EQ(shared.companionContainerId.value(), std::nullopt);

  // Nothing retries on its own.
  EXPECT_EQ(fakes.urlSession->pendingCount(), 0u);
  EXPECT_EQ(tracker->vorn().client->queue().size(), 1u);

  auto failed = makeTracker();
  cookies->setCookies({{"vorn_containerId", "server-cid"}});
  answerFetch(500);
  fakes.mainQueue->runUntilIdle();
  EXPECT_FALSE(failed->vorn().client->hasUserInfo());
}

TEST_F(TrackerTest, aUserSharedDuringTheFetchWins) {
  auto tracker = makeTracker();
  tracker->vorn().trackAppStart();
  shared.userInfo.setValue(sharedUser);
  cookies->setCookies({{"vorn_containerId", "server-cid"}});
  answerFetch();
  fakes.mainQueue->runUntilIdle();

  EXPECT_EQ(tracker->vorn().client->userInfo(), sharedUser);
  EXPECT_EQ(shared.companionContainerId.value(), std::nullopt);
  auto events = requestsTo(testing::vornEndpoint);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(bodyOf(events[0])["events"][0]["userId"], "user-1");
}

TEST_F(TrackerTest, signOutClearsTheUserQueuesAgainAndFetches) {
  shared.userInfo.setValue(sharedUser);
  auto tracker = makeTracker();
  shared.userInfo.setValue(std::nullopt);
  fakes.mainQueue->runUntilIdle();

  EXPECT_FALSE(tracker->vorn().client->hasUserInfo());
  tracker->vorn().trackAppStart();
  EXPECT_TRUE(requestsTo(testing::vornEndpoint).empty());
  EXPECT_EQ(requestsTo(testing::userUrl).size(), 1u);

  // Signing in again takes over without waiting for that fetch.
  shared.userInfo.setValue(sharedUser);
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(tracker->vorn().client->userInfo(), sharedUser);
  EXPECT_EQ(requestsTo(testing::vornEndpoint).size(), 1u);
}

TEST_F(TrackerTest, storeNotificationsReachTheClientOnlyOnTheMainQueue) {
  auto tracker = makeTracker();
  // The other deliverable writes the suite; here the change is noticed on this thread.
  std::thread writer([&] { shared.userInfo.setValue(sharedUser); });
  writer.join();
  EXPECT_FALSE(tracker->vorn().client->hasUserInfo());

  EXPECT_GE(fakes.mainQueue->runUntilIdle(), 1u);
  EXPECT_EQ(tracker->vorn().client->userInfo(), sharedUser);
}

TEST_F(TrackerTest, aReleasedTrackerIgnoresLateAnswersAndNotifications) {
  auto tracker = makeTracker();
  shared.userInfo.setValue(sharedUser);  // hop queued while the tracker lives
  tracker.reset();
  EXPECT_EQ(fakes.sharedSuite()->subscriberCount("userInfo"), 0u);

  cookies->setCookies({{"vorn_containerId", "server-cid"}});
  answerFetch();
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(shared.companionContainerId.value(), std::nullopt);
  EXPECT_TRUE(requestsTo(testing::vornEndpoint).empty());
}

void createWithAnalyticsHost(const std::string& analyticsHost) {
  TestPlatform fakes;
  SharedData shared{*fakes.defaults, fakes.secretStore};
  auto auth = std::make_shared<Auth>("t", "v", testing::authHost, fakes.urlSession,
                                     std::make_shared<ScriptedCookieParser>());
  Tracker::create("safari", "1.2.3", Component::companion, auth, shared, false, true, analyticsHost,
                  testing::webOrigin, testing::vornServices(fakes));
}

TEST(TrackerDeathTest, anAnalyticsHostThatFormsNoUrlStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(createWithAnalyticsHost("not a host/"), "analytics host");
}

}  // namespace
}  // namespace qv
