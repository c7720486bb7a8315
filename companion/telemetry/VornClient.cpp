#include "companion/telemetry/VornClient.h"

#include <cmath>
#include <ctime>
#include <functional>
#include <span>
#include <utility>

#include "platform/JsonFields.h"

namespace qv {
namespace {

constexpr double oneHour = 3600;
constexpr double oneDay = 24 * oneHour;
constexpr const char* pingName = "ping";

const Json& pingProps() {
  static const Json props{{"action", "ping"}};
  return props;
}

// Local calendar arithmetic through time_t; dates outside this range (about 30 million
// years) are not worth a calendar and take the fallback.
constexpr double calendarLimit = 1e15;

}  // namespace

VornClient::VornClient(std::string origin, std::string url, std::string clientType,
                       std::string clientVersion, bool forceIsTest, bool isPingDisabled,
                       VornServices services)
    : origin_(std::move(origin)),
      url_(std::move(url)),
      clientType_(std::move(clientType)),
      clientVersion_(std::move(clientVersion)),
      forceIsTest_(forceIsTest),
      isPingDisabled_(isPingDisabled),
      services_(std::move(services)) {
  if (services_.standardDefaults) nextPingDate_ = services_.standardDefaults->date(nextPingDateKey);
  instanceId_ = makeInstanceId();
  pingIfNeeded(false);
}

void VornClient::setUserInfo(std::optional<UserInfo> userInfo) {
  if (!userInfo) {
    userInfo_.reset();
    return;
  }
  bool forcePing = userInfo_ && userInfo_->userId != userInfo->userId &&
                   !(userInfo_->isAnonymous && userInfo->isAnonymous);
  userInfo_ = std::move(userInfo);
  if (forcePing) pingIfNeeded(true);
  if (userInfo_) flushQueue();
}

void VornClient::track(const std::string& name, const std::optional<Json>& props,
                       Completion completion) {
  if (userInfo_) {
    pingIfNeeded(false);
    flushQueue();
    send(name, props, std::move(completion));
    return;
  }
  if (completion) {
    completion(false);
    return;
  }
  enqueue(name, props);
}

void VornClient::flushQueue() {
  std::deque<Event> events = std::exchange(queue_, {});
  for (const Event& event : events) send(event.name, event.props, nullptr);
}

void VornClient::pingIfNeeded(bool force) {
  if (isPingDisabled_) return;
  if (!force && !isPingDue(services_.clock->now(), nextPingDate_)) return;
  if (!userInfo_) {
    enqueue(pingName, pingProps());
    return;
  }
  flushQueue();
  send(pingName, pingProps(), nullptr);
}

bool VornClient::isPingDue(Date now, const std::optional<Date>& next) {
  if (!next || *next <= now) return true;
  return *next - now >= 2 * oneDay;
}

Date VornClient::computeNextPingDate(Date now) {
  unsigned minute = uniformRandom(60);
  Date fallback = now + (minute * 60.0 - 1800 + oneDay);

  double whole = std::floor(now.secondsSince1970);
  if (!std::isfinite(whole) || std::fabs(whole) > calendarLimit) return fallback;
  double fraction = now.secondsSince1970 - whole;
  std::time_t seconds = static_cast<std::time_t>(whole);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return fallback;
  // Today's 03:MM while it is still ahead, tomorrow's otherwise; mktime carries the day
  // over month and year ends and picks the daylight-saving offset of that moment.
  if (local.tm_hour >= 3) local.tm_mday += 1;
  local.tm_hour = 3;
  local.tm_min = static_cast<int>(minute);
  local.tm_isdst = -1;
  std::time_t next = std::mktime(&local);
  if (next == static_cast<std::time_t>(-1)) return fallback;
  return Date{static_cast<double>(next) + fraction};
}

void VornClient::send(const std::string& name, const std::optional<Json>& props,
                      Completion completion) {
  if (!userInfo_) return;
  if (name == pingName) {
    nextPingDate_ = computeNextPingDate(services_.clock->now());
    if (services_.standardDefaults) {
      services_.standardDefaults->set(nextPingDateKey, UserDefaults::Value(*nextPingDate_));
    }
  }
  Json event = makeEventPayload(userInfo_->userId, userInfo_->isTestUser, name, props);
  Json body = makeBatchBody(userInfo_->containerId, {std::move(event)});

  UrlRequest request;
  request.url = url_;
  request.cachePolicy = UrlRequest::CachePolicy::useProtocolCachePolicy;
  request.timeout = std::chrono::seconds(60);
  request.method = "POST";
  request.headers.emplace_back("Origin", origin_);
  request.headers.emplace_back("Content-Type", "application/json");

  // A prop string that is not UTF-8 cannot be written as JSON.
  std::optional<std::string> text = json::dump(body);
  if (!text) {
    if (completion) services_.mainQueue->async([completion] { completion(false); });
    return;
  }
  request.body = toBytes(*text);
  services_.urlSession->dataTask(
      std::move(request), [completion = std::move(completion)](UrlTaskResult result) {
        if (!completion) return;
        completion(!result.error && result.response && result.response->statusCode == 200);
      });
}

void VornClient::enqueue(const std::string& name, const std::optional<Json>& props) {
  if (static_cast<std::int64_t>(queue_.size()) >= maxQueueSize) return;
  queue_.push_back(Event{name, props});
}

Json VornClient::makeEventPayload(const std::string& userId, bool isTestUser,
                                  const std::string& name, const std::optional<Json>& props) const {
  Json payload = props && props->is_object() ? *props : Json::object();
  payload["eventName"] = clientType_ + "/" + name;
  payload["userId"] = userId;
  payload["isTest"] = isTestUser || forceIsTest_;
  return payload;
}

Json VornClient::makeBatchBody(const std::string& containerId, std::vector<Json> events) {
  ++batchId_;
  return Json{{"client", clientType_},      {"clientVersion", clientVersion_},
              {"containerId", containerId}, {"instanceId", instanceId_},
              {"batchId", batchId_},        {"events", std::move(events)}};
}

std::string VornClient::makeInstanceId() {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string id;
  for (int i = 0; i < 8; ++i) id += alphabet[uniformRandom(alphabet.size())];
  return id;
}

unsigned VornClient::uniformRandom(unsigned bound) {
  // Bytes at or above the largest multiple of `bound` are drawn again, so that every
  // result is equally likely (a plain modulo would favour the low values).
  const unsigned limit = 256 - 256 % bound;
  for (;;) {
    std::uint8_t byte = 0;
    if (!services_.crypto || !services_.crypto->randomBytes(std::span(&byte, 1))) {
      return fallbackRandom(bound);
    }
    if (byte < limit) return byte % bound;
  }
}

unsigned VornClient::fallbackRandom(unsigned bound) {
  if (!fallbackEngine_) {
    std::vector<std::size_t> material{std::hash<double>{}(services_.clock->now().secondsSince1970),
                                      std::hash<const void*>{}(this)};
    try {
      std::random_device device;
      material = {device(), device(), device(), device()};
    } catch (const std::exception&) {
      // No entropy device either: the clock-based seed has to do.
    }
    std::seed_seq seed(material.begin(), material.end());
    fallbackEngine_.emplace(seed);
  }
  return std::uniform_int_distribution<unsigned>(0, bound - 1)(*fallbackEngine_);
}

}  // namespace qv
