#include "companion/telemetry/Tracker.h"

#include <utility>

#include "Common/FatalError.h"
#include "platform/Url.h"

namespace qv {
namespace {

std::string analyticsEndpoint(const std::string& analyticsHost) {
  std::optional<UrlComponents> parts = UrlComponents::https(analyticsHost, "/");
  std::optional<std::string> url = parts ? parts->string() : std::nullopt;
  if (!url) QV_FATAL("The analytics host does not form a URL: " + analyticsHost);
  return *url;
}

}  // namespace

std::shared_ptr<Tracker> Tracker::create(std::string clientType, std::string clientVersion,
                                         Component component, std::shared_ptr<Auth> auth,
                                         const SharedData& sharedData, bool forceIsTest,
                                         bool isPingDisabled, const std::string& analyticsHost,
                                         std::string webOrigin, VornServices services) {
  std::shared_ptr<Tracker> tracker(new Tracker(
      std::move(clientType), std::move(clientVersion), component, std::move(auth), sharedData,
      forceIsTest, isPingDisabled, analyticsHost, std::move(webOrigin), std::move(services)));
  tracker->start(tracker);
  return tracker;
}

Tracker::Tracker(std::string clientType, std::string clientVersion, Component component,
                 std::shared_ptr<Auth> auth, const SharedData& sharedData, bool forceIsTest,
                 bool isPingDisabled, const std::string& analyticsHost, std::string webOrigin,
                 VornServices services)
    : vorn_(std::move(clientType), std::move(clientVersion), component, std::move(webOrigin),
            analyticsEndpoint(analyticsHost), forceIsTest, isPingDisabled, services),
      auth_(std::move(auth)),
      sharedUserInfo_(sharedData.userInfo),
      sharedCompanionContainerId_(sharedData.companionContainerId),
      mainQueue_(services.mainQueue) {}

void Tracker::start(const std::shared_ptr<Tracker>& self) {
  weakSelf_ = self;
  // Notifications arrive on the store's thread, but the client lives on the main
  // queue: only the hop happens there.
  userChangeUnsubscriber_ = sharedUserInfo_.subscribe(
      [weak = weakSelf_, mainQueue = mainQueue_](std::optional<UserInfo> value) {
        mainQueue->async([weak, value = std::move(value)] {
          if (std::shared_ptr<Tracker> tracker = weak.lock()) {
            tracker->onSharedUserInfoChanged(value);
          }
        });
      });
  // The subscription reports later changes only, so the present value is read here.
  if (std::optional<UserInfo> shared = sharedUserInfo_.value()) {
    vorn_.client->setUserInfo(std::move(shared));
  } else {
    fetchUser();
  }
}

void Tracker::onSharedUserInfoChanged(const std::optional<UserInfo>& value) {
  vorn_.client->setUserInfo(value);
  if (!value) fetchUser();
}

void Tracker::fetchUser() {
  std::optional<std::string> requestContainerId = sharedCompanionContainerId_.value();
  // The answer arrives on the session's thread; it carries the request's container id
  // so that nothing shared is read there.
  auth_->fetchUser(
      std::nullopt, requestContainerId,
      [weak = weakSelf_, mainQueue = mainQueue_, requestContainerId](std::optional<User> user) {
        if (!user || !user->containerId) return;
        mainQueue->async([weak, requestContainerId, user = std::move(*user)] {
          if (std::shared_ptr<Tracker> tracker = weak.lock()) {
            tracker->applyFetchedUser(requestContainerId, user);
          }
        });
      });
}

void Tracker::applyFetchedUser(const std::optional<std::string>& requestContainerId,
                               const User& user) {
  // A user shared meanwhile wins over the fetched one.
  if (sharedUserInfo_.value()) return;
  std::string containerId =
      requestContainerId ? *requestContainerId : user.containerId.value_or("");
  if (!sharedCompanionContainerId_.value()) sharedCompanionContainerId_.setValue(containerId);
  vorn_.client->setUserInfo(UserInfo{user.id, user.isTest, user.isAnonymous, containerId});
}

}  // namespace qv
