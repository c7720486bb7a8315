#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Common/UserInfo.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Json.h"
#include "platform/MainQueue.h"
#include "platform/Types.h"
#include "platform/UrlSession.h"
#include "platform/UserDefaults.h"

namespace qv {

// The platform facilities the analytics sender works with. Every member but
// `standardDefaults` must be set.
struct VornServices {
  std::shared_ptr<UrlSession> urlSession;
  // The application's own standard defaults (not the shared suite), where the ping
  // schedule is kept. May be null: the schedule then lives only in memory.
  std::shared_ptr<UserDefaults> standardDefaults;
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Crypto> crypto;
  std::shared_ptr<MainQueue> mainQueue;
};

// The companion's analytics sender: one named event with its properties becomes one
// HTTPS POST to the analytics endpoint, stamped with the current user. Without a user,
// events wait in a queue of 50 (later ones are lost) and go out, oldest first, once a
// user is assigned. It also owns a daily "ping" event whose schedule survives restarts
// under "vorn.nextPingDate".
//
// Main-queue confined: construct it and call every method on the main thread. Request
// completions run on the URL session's thread and touch nothing here but the caller's
// completion.
class VornClient {
 public:
  // Called at most once; true only when the endpoint answered with status 200.
  using Completion = std::function<void(bool)>;

  // An event held while no user is known. `props`, when present, is a JSON object.
  struct Event {
    std::string name;
    std::optional<Json> props;
  };

  static constexpr std::int64_t maxQueueSize = 50;
  static constexpr const char* nextPingDateKey = "vorn.nextPingDate";

  // `url` is the endpoint, posted to exactly as given; `origin` goes into the "Origin"
  // header. Reads the stored ping schedule, makes the instance id and queues the ping
  // when it is due.
  VornClient(std::string origin, std::string url, std::string clientType, std::string clientVersion,
             bool forceIsTest, bool isPingDisabled, VornServices services);
  VornClient(const VornClient&) = delete;
  VornClient& operator=(const VornClient&) = delete;

  const std::optional<UserInfo>& userInfo() const { return userInfo_; }
  // Absent stops sending (the queue is kept). A change between two known identities
  // that are not both anonymous sends a ping first; then the queue goes out.
  void setUserInfo(std::optional<UserInfo> userInfo);
  bool hasUserInfo() const { return userInfo_.has_value(); }

  // With a user: the ping if due, then the queue, then this event. Without one: a
  // given completion gets false at once and the event is dropped; otherwise the event
  // is queued while there is room. `props` should be a JSON object (anything else is
  // sent as no properties).
  void track(const std::string& name, const std::optional<Json>& props = std::nullopt,
             Completion completion = nullptr);
  void ping() { pingIfNeeded(false); }
  void flushQueue();
  void pingIfNeeded(bool force);

  // When a ping is due: no date, a date not later than `now`, or one 2 days or more
  // ahead (a clock that was set far forward must not silence pings for good).
  static bool isPingDue(Date now, const std::optional<Date>& next);
  // 03:MM local time (MM random in 0..59) today while the local hour is below 3,
  // otherwise tomorrow; seconds are kept. Uses the process's time zone (TZ).
  Date computeNextPingDate(Date now);

  // The read-only state, for the owner and for tests.
  const std::deque<Event>& queue() const { return queue_; }
  std::int64_t batchId() const { return batchId_; }
  const std::optional<Date>& nextPingDate() const { return nextPingDate_; }
  const std::string& instanceId() const { return instanceId_; }
  const std::string& clientType() const { return clientType_; }
  bool forceIsTest() const { return forceIsTest_; }

 private:
  void send(const std::string& name, const std::optional<Json>& props, Completion completion);
  void enqueue(const std::string& name, const std::optional<Json>& props);
  Json makeEventPayload(const std::string& userId, bool isTestUser, const std::string& name,
                        const std::optional<Json>& props) const;
  Json makeBatchBody(const std::string& containerId, std::vector<Json> events);
  std::string makeInstanceId();
  // A number uniform in [0, bound) from the secure generator; bound is at most 256.
  unsigned uniformRandom(unsigned bound);
  unsigned fallbackRandom(unsigned bound);

  std::optional<UserInfo> userInfo_;
  std::deque<Event> queue_;
  std::int64_t batchId_ = 0;
  std::optional<Date> nextPingDate_;
  std::string origin_;
  std::string url_;
  std::string instanceId_;
  std::string clientType_;
  std::string clientVersion_;
  bool forceIsTest_;
  bool isPingDisabled_;
  VornServices services_;
  // Used only if the secure generator fails; seeded on first use.
  std::optional<std::mt19937> fallbackEngine_;
};

}  // namespace qv
