#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Common/AppInfo.h"
#include "Common/ContainerValue.h"
#include "Common/SharedData.h"
#include "Common/UserInfo.h"
#include "companion/telemetry/Auth.h"
#include "companion/telemetry/Vorn.h"

namespace qv {

// Keeps the analytics user in step with the user the extension shares: the shared
// user when there is one; otherwise an anonymous user fetched from the authentication
// host (without tokens), so that events queued at launch can go out. The first time
// the server hands out a container id it is stored as the shared
// `companionContainerId`; a stored one is never replaced.
//
// Main-queue confined: create it and use it on the main thread. Shared-store change
// notifications and fetch answers arrive on other threads and only hop to the main
// queue; the hop holds the tracker weakly, so work that arrives after it is gone does
// nothing.
class Tracker {
 public:
  // `analyticsHost` is "host" or "host:port" (events are posted to its root);
  // `webOrigin` ("https://host") is sent as the analytics "Origin". A host that forms no
  // URL is a broken installation and stops the process. Subscribes to the shared user,
  // then takes the one stored now or starts a fetch.
  static std::shared_ptr<Tracker> create(std::string clientType, std::string clientVersion,
                                         Component component, std::shared_ptr<Auth> auth,
                                         const SharedData& sharedData, bool forceIsTest,
                                         bool isPingDisabled, const std::string& analyticsHost,
                                         std::string webOrigin, VornServices services);
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  Vorn& vorn() { return vorn_; }
  const Vorn& vorn() const { return vorn_; }
  void setVorn(Vorn vorn) { vorn_ = std::move(vorn); }

 private:
  Tracker(std::string clientType, std::string clientVersion, Component component,
          std::shared_ptr<Auth> auth, const SharedData& sharedData, bool forceIsTest,
          bool isPingDisabled, const std::string& analyticsHost, std::string webOrigin,
          VornServices services);

  void start(const std::shared_ptr<Tracker>& self);
  void onSharedUserInfoChanged(const std::optional<UserInfo>& value);
  void fetchUser();
  void applyFetchedUser(const std::optional<std::string>& requestContainerId, const User& user);

  Vorn vorn_;
  std::shared_ptr<Auth> auth_;
  ContainerValue<std::optional<UserInfo>> sharedUserInfo_;
  ContainerValue<std::optional<std::string>> sharedCompanionContainerId_;
  std::shared_ptr<MainQueue> mainQueue_;
  std::weak_ptr<Tracker> weakSelf_;
  std::unique_ptr<Unsubscriber> userChangeUnsubscriber_;
};

}  // namespace qv
