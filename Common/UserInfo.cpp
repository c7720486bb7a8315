#include "Common/UserInfo.h"

#include "platform/JsonFields.h"

namespace qv {

Json UserInfo::toJson() const {
  return Json{{"userId", userId},
              {"isTestUser", isTestUser},
              {"isAnonymous", isAnonymous},
              {"containerId", containerId}};
}

std::optional<UserInfo> UserInfo::fromJson(const Json& json) {
  auto userId = json::string(json, "userId");
  auto isTestUser = json::boolean(json, "isTestUser");
  auto isAnonymous = json::boolean(json, "isAnonymous");
  auto containerId = json::string(json, "containerId");
  if (!userId || !isTestUser || !isAnonymous || !containerId) return std::nullopt;
  return UserInfo{*userId, *isTestUser, *isAnonymous, *containerId};
}

}  // namespace qv
