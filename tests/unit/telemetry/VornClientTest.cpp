#include "companion/telemetry/VornClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TelemetryTestSupport.h"

namespace qv {
namespace {

using testing::bodyOf;
using testing::header;
using testing::RecordingUrlSession;
using testing::TestPlatform;

const UserInfo anonymous{"anon-1", false, true, "cid-1"};
const UserInfo otherAnonymous{"anon-2", false, true, "cid-2"};
const UserInfo signedIn{"user-1", false, false, "cid-1"};

// Sets TZ for the life of the object, so that local-time rules can be pinned down.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

// Seconds since 1970 of a wall-clock time in a zone `offsetHours` east of UTC.
double localTime(int year, int month, int day, int hour, int minute, double second,
                 int offsetHours) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return static_cast<double>(timegm(&tm)) + second - offsetHours * 3600.0;
}

class VornClientTest : public ::testing::Test {
 protected:
  std::unique_ptr<VornClient> makeClient(bool isPingDisabled = true, bool forceIsTest = false) {
    return std::make_unique<VornClient>(testing::webOrigin, testing::vornEndpoint, "safari",
                                        "1.2.3", forceIsTest, isPingDisabled,
                                        testing::vornServices(fakes));
  }

  std::vector<UrlRequest> requests() const { return fakes.urlSession->requests(); }
  std::vector<std::string> sentEventNames() const {
    std::vector<std::string> names;
    for (const UrlRequest& request : requests()) {
      names.push_back(bodyOf(request)["events"][0]["eventName"].get<std::string>());
    }
    return names;
  }
  std::shared_ptr<testing::InMemoryUserDefaults> standard() const {
    return fakes.defaults->standardStore(testing::companionBundleId);
  }

  TestPlatform fakes;
};

TEST_F(VornClientTest, eachEventIsOnePostWithTheBatchBody) {
  auto client = makeClient();
  client->setUserInfo(anonymous);
  client->track("companion/app-start",
                Json{{"component", "companion"}, {"object", "app"}, {"action", "start"}});
  client->track("second");

  auto sent = requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].url, testing::vornEndpoint);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].timeout, std::chrono::seconds(60));
  EXPECT_EQ(sent[0].cachePolicy, UrlRequest::CachePolicy::useProtocolCachePolicy);
  EXPECT_EQ(header(sent[0], "Origin"), testing::webOrigin);
  EXPECT_EQ(header(sent[0], "Content-Type"), "application/json");
  EXPECT_EQ(bodyOf(sent[0]), nlohmann::json::parse(R"({
      "client": "safari", "clientVersion": "1.2.3", "containerId": "cid-1",
      "instanceId": ")" + client->instanceId() + R"(", "batchId": 1,
      "events": [{"component": "companion", "object": "app", "action": "start",
                  "eventName": "safari/companion/app-start", "userId": "anon-1",
                  "isTest": false}]})"));
  EXPECT_EQ(bodyOf(sent[1])["batchId"], 2);
  EXPECT_EQ(
      bodyOf(sent[1])["events"][0],
      nlohmann::json::parse(R"({"eventName":"safari/second","userId":"anon-1","isTest":false})"));
}

TEST_F(VornClientTest, propsCannotOverrideTheIdentityAndForceIsTestMarksEverything) {
  const Json props{{"userId", "spoof"}, {"eventName", "spoof"}, {"isTest", false}, {"k", 1}};
  auto client = makeClient();
  client->setUserInfo(UserInfo{"u", true, false, "c"});
  client->track("e", props);
  auto forced = makeClient(true, /*forceIsTest=*/true);
  forced->setUserInfo(UserInfo{"u", false, false, "c"});
  forced->track("e", props);

  auto sent = requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(bodyOf(sent[0])["events"][0],
            nlohmann::json::parse(R"({"userId":"u","eventName":"safari/e","isTest":true,"k":1})"));
  EXPECT_EQ(bodyOf(sent[1])["events"][0]["isTest"], true);
}

TEST_F(VornClientTest, withoutAUserFiftyEventsWaitInOrderAndTheRestIsLost) {
  auto client = makeClient();
  for (int i = 0; i < 51; ++i) client->track("e" + std::to_string(i));
  EXPECT_EQ(client->queue().size(), 50u);
  EXPECT_TRUE(requests().empty());

  client->setUserInfo(anonymous);
  std::vector<std::string> expected;
  for (int i = 0; i < 50; ++i) expected.push_back("safari/e" + std::to_string(i));
  EXPECT_EQ(sentEventNames(), expected);
  EXPECT_TRUE(client->queue().empty());
  EXPECT_EQ(bodyOf(requests().back())["batchId"], 50);
}

TEST_F(VornClientTest, backWithoutAUserQueuesAgainAndKeepsTheCounters) {
  auto client = makeClient();
  client->setUserInfo(anonymous);
  client->track("one");
  std::string instanceId = client->instanceId();

  client->setUserInfo(std::nullopt);
  EXPECT_FALSE(client->hasUserInfo());
  client->track("two");
  EXPECT_EQ(requests().size(), 1u);

  client->setUserInfo(anonymous);
  auto sent = requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(bodyOf(sent[1])["batchId"], 2);
  EXPECT_EQ(bodyOf(sent[1])["instanceId"], instanceId);
}

TEST_F(VornClientTest, completionIsTrueOnlyForStatus200) {
  auto client = makeClient();
  std::optional<bool> refused;
  client->track("no-user", std::nullopt, [&](bool ok) { refused = ok; });
  EXPECT_EQ(refused, false);  // at once, and the event is gone
  EXPECT_TRUE(client->queue().empty());

  client->setUserInfo(anonymous);
  std::vector<std::optional<bool>> results(5);
  for (std::size_t i = 0; i < results.size(); ++i) {
    client->track("e", std::nullopt, [&results, i](bool ok) { results[i] = ok; });
  }
  fakes.urlSession->completeNext(RecordingUrlSession::http(200));
  fakes.urlSession->completeNext(RecordingUrlSession::http(204));
  fakes.urlSession->completeNext(RecordingUrlSession::http(500));
  fakes.urlSession->completeNext(RecordingUrlSession::transportError("offline"));
  fakes.urlSession->completeNext(UrlTaskResult{});  // no HTTP response at all
  EXPECT_EQ(results, (std::vector<std::optional<bool>>{true, false, false, false, false}));
}

TEST_F(VornClientTest, anUnwritableEventIsNotSentAndFailsOnTheMainQueue) {
  auto client = makeClient();
  client->setUserInfo(anonymous);
  std::optional<bool> result;
  client->track("bad", Json{{"text", "not utf-8 \xff"}}, [&](bool ok) { result = ok; });
  EXPECT_TRUE(requests().empty());
  EXPECT_FALSE(result);  // not on the caller's stack
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(result, false);

  client->track("good");  // the failed attempt used up number 1
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(bodyOf(requests()[0])["batchId"], 2);
}

TEST_F(VornClientTest, instanceIdIsAnUnbiasedDrawFromTheAlphabet) {
  // 248..255 would favour the first eight letters, so they are drawn again.
  const std::uint8_t bytes[] = {248, 0, 255, 61, 62, 123, 1, 2, 3, 4};
  fakes.crypto->queueRandom(bytes);
  EXPECT_EQ(makeClient()->instanceId(), "A9A9BCDE");

  // Without the secure generator an id is still made.
  fakes.crypto->setFailRandom(true);
  std::string id = makeClient()->instanceId();
  ASSERT_EQ(id.size(), 8u);
  for (char c : id) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << id;
}

TEST_F(VornClientTest, pingDueRulesAtTheBoundaries) {
  const Date now{1'700'000'000.5};
  EXPECT_TRUE(VornClient::isPingDue(now, std::nullopt));
  EXPECT_TRUE(VornClient::isPingDue(now, now));
  EXPECT_TRUE(VornClient::isPingDue(now, now + -1));
  EXPECT_FALSE(VornClient::isPingDue(now, now + 60));
  EXPECT_FALSE(VornClient::isPingDue(now, now + (172800 - 0.001)));
  EXPECT_TRUE(VornClient::isPingDue(now, now + 172800));
  EXPECT_TRUE(VornClient::isPingDue(now, now + 1e9));
}

TEST_F(VornClientTest, nextPingIsAtThreeLocalTimeTodayOrTomorrow) {
  ScopedTimeZone zone("QVT-5");  // five hours east of UTC, no daylight saving
  auto client = makeClient();
  const std::uint8_t minute17[] = {250, 17};  // 250 is out of range for 0..59: drawn again

  fakes.crypto->queueRandom(minute17);
  EXPECT_EQ(client->computeNextPingDate(Date{localTime(2024, 3, 10, 2, 59, 30.25, 5)}),
            Date{localTime(2024, 3, 10, 3, 17, 30.25, 5)});

  fakes.crypto->queueRandom(minute17);
  EXPECT_EQ(client->computeNextPingDate(Date{localTime(2024, 3, 10, 3, 0, 0, 5)}),
            Date{localTime(2024, 3, 11, 3, 17, 0, 5)});

  // Tomorrow may be in the next year.
  fakes.crypto->queueRandom(minute17);
  EXPECT_EQ(client->computeNextPingDate(Date{localTime(2024, 12, 31, 23, 59, 59, 5)}),
            Date{localTime(2025, 1, 1, 3, 17, 59, 5)});

  // A date the calendar cannot hold falls back to a day plus -30..+29 minutes.
  fakes.crypto->queueRandom(minute17);
  const double farAway = 1e17;  // some three billion years ahead
  EXPECT_NEAR(client->computeNextPingDate(Date{farAway}) - Date{farAway}, 17 * 60 - 1800 + 86400,
              16);
}

TEST_F(VornClientTest, aDuePingWaitsForTheUserAndThenGoesFirst) {
  auto client = makeClient(/*isPingDisabled=*/false);
  ASSERT_EQ(client->queue().size(), 1u);  // nothing stored: due at once
  EXPECT_EQ(client->queue()[0].name, "ping");
  EXPECT_FALSE(client->nextPingDate());  // queueing does not advance the schedule
  client->track("app-start");

  client->setUserInfo(anonymous);
  EXPECT_EQ(sentEventNames(), (std::vector<std::string>{"safari/ping", "safari/app-start"}));
  EXPECT_EQ(bodyOf(requests()[0])["events"][0]["action"], "ping");
  ASSERT_TRUE(client->nextPingDate());
  EXPECT_GT(*client->nextPingDate(), fakes.clock->now());
  EXPECT_EQ(standard()->date(VornClient::nextPingDateKey), client->nextPingDate());

  // Not due again until the stored date; then before the event that noticed it.
  client->track("a");
  fakes.clock->set(*client->nextPingDate());
  client->track("b");
  EXPECT_EQ(sentEventNames(), (std::vector<std::string>{"safari/ping", "safari/app-start",
                                                        "safari/a", "safari/ping", "safari/b"}));
}

TEST_F(VornClientTest, theStoredScheduleIsReadAtConstruction) {
  standard()->set(VornClient::nextPingDateKey, UserDefaults::Value(fakes.clock->now() + 3600));
  EXPECT_TRUE(makeClient(false)->queue().empty());

  // Another type under the key counts as no date.
  standard()->set(VornClient::nextPingDateKey, UserDefaults::Value(std::string("tomorrow")));
  EXPECT_EQ(makeClient(false)->queue().size(), 1u);

  // Pings disabled: nothing, however overdue.
  EXPECT_TRUE(makeClient(true)->queue().empty());
}

TEST_F(VornClientTest, changingIdentityForcesAPingUnlessBothAreAnonymous) {
  standard()->set(VornClient::nextPingDateKey, UserDefaults::Value(fakes.clock->now() + 3600));
  auto client = makeClient(false);

  client->setUserInfo(anonymous);  // first user: no forced ping
  client->setUserInfo(otherAnonymous);
  client->setUserInfo(otherAnonymous);
  EXPECT_TRUE(requests().empty());

  client->setUserInfo(signedIn);
  client->setUserInfo(anonymous);
  EXPECT_EQ(sentEventNames(), (std::vector<std::string>{"safari/ping", "safari/ping"}));
  EXPECT_EQ(bodyOf(requests()[0])["events"][0]["userId"], "user-1");  // stamped with the new user

  auto disabled = makeClient(true);
  disabled->setUserInfo(signedIn);
  disabled->setUserInfo(anonymous);
  EXPECT_EQ(requests().size(), 2u);
}

TEST_F(VornClientTest, anEventNamedPingAlsoAdvancesTheSchedule) {
  auto client = makeClient(/*isPingDisabled=*/true);
  client->setUserInfo(anonymous);
  EXPECT_FALSE(standard()->date(VornClient::nextPingDateKey));
  client->track("ping");
  ASSERT_TRUE(client->nextPingDate());
  EXPECT_EQ(standard()->date(VornClient::nextPingDateKey), client->nextPingDate());
}

}  // namespace
}  // namespace qv
