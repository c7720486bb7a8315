#include "companion/telemetry/Vorn.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TelemetryTestSupport.h"
#include "companion/telemetry/MulticastDelegate.h"

namespace qv {
namespace {

using testing::bodyOf;
using testing::TestPlatform;

const UserInfo anonymous{"anon-1", false, true, "cid-1"};

struct Recorded {
  std::string name;
  Json props;
  std::size_t requestsWhenTold;
};

class RecordingListener final : public VornListener {
 public:
  explicit RecordingListener(const testing::RecordingUrlSession& session) : session_(session) {}
  void didTrackEvent(const std::string& name, const Json& props) override {
    events.push_back({name, props, session_.requests().size()});
  }
  std::vector<Recorded> events;

 private:
  const testing::RecordingUrlSession& session_;
};

class VornTest : public ::testing::Test {
 protected:
  Vorn makeVorn(Component component = Component::companion) {
    return Vorn("safari", "1.2.3", component, testing::webOrigin, testing::vornEndpoint, false,
                true, testing::vornServices(fakes));
  }

  TestPlatform fakes;
  Vorn vorn = makeVorn();
};

TEST_F(VornTest, appStartIsNamedAndDescribedForTheComponent) {
  vorn.client->setUserInfo(anonymous);
  vorn.trackAppStart();
  auto requests = fakes.urlSession->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(bodyOf(requests[0])["events"][0], nlohmann::json::parse(R"({
      "component": "companion", "object": "app", "action": "start",
      "eventName": "safari/companion/app-start", "userId": "anon-1", "isTest": false})"));

  Vorn native = makeVorn(Component::native);
  Json props = native.makeProps(std::nullopt, std::nullopt, "app", "start", std::nullopt);
  EXPECT_EQ(props, (Json{{"component", "native"}, {"object", "app"}, {"action", "start"}}));
  EXPECT_EQ(native.makeEventName(props), "native/app-start");
}

TEST_F(VornTest, standardValuesWinOverExtraPropertiesOnlyWhenGiven) {
  const Json extra{{"component", "spoof"}, {"object", "from-extra"}, {"pageId", 7}, {"k", "v"}};

  Json given = vorn.makeProps(std::string("p"), std::string("id"), std::string("obj"),
                              std::string("act"), extra);
  EXPECT_EQ(nlohmann::json::parse(given.dump()), nlohmann::json::parse(R"({
      "component": "companion", "pageId": "p", "objectId": "id", "object": "obj",
      "action": "act", "k": "v"})"));
  EXPECT_EQ(vorn.makeEventName(given), "companion/id-obj-act");

  // Without a value of its own, the extra property stays and takes part in the name; a
  // non-string one does not.
  Json filled = vorn.makeProps(std::nullopt, std::nullopt, std::nullopt, std::nullopt, extra);
  EXPECT_EQ(filled["object"], "from-extra");
  EXPECT_EQ(filled["pageId"], 7);
  EXPECT_EQ(filled["component"], "companion");
  EXPECT_EQ(vorn.makeEventName(filled), "companion/from-extra");
  Json numeric =
      vorn.makeProps(std::nullopt, std::nullopt, std::nullopt, std::nullopt, Json{{"object", 3}});
  EXPECT_EQ(vorn.makeEventName(numeric), "companion/");

  EXPECT_EQ(vorn.makeEventName(vorn.makeProps(std::nullopt, std::nullopt, std::string("app"),
                                              std::nullopt, std::nullopt)),
            "companion/app");
  // Empty strings are still joined.
  EXPECT_EQ(vorn.makeEventName(vorn.makeProps(std::nullopt, std::string(""), std::string("app"),
                                              std::nullopt, std::nullopt)),
            "companion/-app");
}

TEST_F(VornTest, liveListenersHearOfEachEventAfterTheClient) {
  auto first = std::make_shared<RecordingListener>(*fakes.urlSession);
  auto released = std::make_shared<RecordingListener>(*fakes.urlSession);
  auto second = std::make_shared<RecordingListener>(*fakes.urlSession);
  vorn.listeners->add(first);
  vorn.listeners->add(released);
  vorn.listeners->add(second);
  vorn.listeners->add(first);  // a set: still told once
  std::weak_ptr<RecordingListener> gone = released;
  released.reset();
  EXPECT_TRUE(gone.expired());  // the set does not keep it alive

  vorn.client->setUserInfo(anonymous);
  Vorn copy = vorn;  // copies share client and listeners
  copy.track(std::nullopt, std::nullopt, std::string("button"), std::string("click"),
             Json{{"k", 1}});

  for (const auto& listener : {first, second}) {
    ASSERT_EQ(listener->events.size(), 1u);
    EXPECT_EQ(listener->events[0].name, "companion/button-click");
    EXPECT_EQ(listener->events[0].props["k"], 1);
    EXPECT_EQ(listener->events[0].requestsWhenTold, 1u);
  }
  EXPECT_EQ(vorn.listeners->size(), 2u);  // the released member was dropped

  vorn.listeners->remove(first);
  vorn.trackAppStart();
  EXPECT_EQ(first->events.size(), 1u);
  EXPECT_EQ(second->events.size(), 2u);
}

TEST_F(VornTest, theCompletionIsHandedToTheClient) {
  std::optional<bool> result;
  vorn.track(std::nullopt, std::nullopt, std::string("app"), std::nullopt, std::nullopt,
             [&](bool ok) { result = ok; });
  EXPECT_EQ(result, false);  // no user yet

  // With no listeners the event still reaches the client.
  vorn.trackAppStart();
  EXPECT_EQ(vorn.client->queue().size(), 1u);
}

TEST(MulticastDelegateTest, membersMayChangeTheSetWhileBeingCalled) {
  struct Member {
    std::function<void()> onCall;
    int calls = 0;
  };
  MulticastDelegate<Member> delegates;
  auto a = std::make_shared<Member>();
  auto b = std::make_shared<Member>();
  auto c = std::make_shared<Member>();
  a->onCall = [&] {
    delegates.remove(b);  // already in this round's snapshot
    delegates.add(c);     // joins from the next round
  };
  delegates.add(a);
  delegates.add(b);

  delegates.invoke([](Member& member) {
    ++member.calls;
    if (member.onCall) member.onCall();
  });
  EXPECT_EQ(a->calls, 1);
  EXPECT_EQ(b->calls, 1);
  EXPECT_EQ(c->calls, 0);

  a->onCall = nullptr;
  delegates.invoke([](Member& member) { ++member.calls; });
  EXPECT_EQ(a->calls, 2);
  EXPECT_EQ(b->calls, 1);
  EXPECT_EQ(c->calls, 1);

  // A member released while the round runs is kept alive until the round ends.
  int rounds = 0;
  a->onCall = [&] { c.reset(); };
  delegates.invoke([&](Member& member) {
    ++member.calls;
    ++rounds;
    if (member.onCall) member.onCall();
  });
  EXPECT_EQ(rounds, 2);
  EXPECT_EQ(delegates.snapshot().size(), 1u);
  EXPECT_EQ(delegates.size(), 1u);
}

}  // namespace
}  // namespace qv
