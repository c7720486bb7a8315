#include "Common/UserInfoProvider.h"

#include "Common/SharedData.h"

namespace qv {

SharedUserInfoProvider::SharedUserInfoProvider(std::shared_ptr<SharedData> sharedData)
    : sharedData_(std::move(sharedData)) {}

std::optional<std::string> SharedUserInfoProvider::containerId() const {
  if (std::optional<UserInfo> user = sharedData_->userInfo.value()) return user->containerId;
  return sharedData_->companionContainerId.value();
}

std::optional<std::string> SharedUserInfoProvider::userId() const {
  if (std::optional<UserInfo> user = sharedData_->userInfo.value()) return user->userId;
  return std::nullopt;
}

}  // namespace qv
