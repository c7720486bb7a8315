#pragma once

#include <optional>
#include <string>

#include "platform/Json.h"

namespace qv {

// The signed-in (or anonymous) user as the extension's background page last reported
// it; shared between the deliverables. All four keys are required.
struct UserInfo {
  std::string userId;
  bool isTestUser = false;
  bool isAnonymous = false;
  std::string containerId;

  Json toJson() const;
  static std::optional<UserInfo> fromJson(const Json& json);

  bool operator==(const UserInfo&) const = default;
};

}  // namespace qv
