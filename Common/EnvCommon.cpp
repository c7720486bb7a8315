#include "Common/EnvCommon.h"

#include <mutex>

#include "Common/FatalError.h"
#include "Common/Uuid.h"

namespace qv {
namespace {

std::mutex installedMutex;
std::optional<Platform>& installed() {
  static std::optional<Platform> platform;
  return platform;
}

}  // namespace

EnvCommon::EnvCommon(Platform platformIn, Component component)
    : platform(std::move(platformIn)),
      sharedData(std::make_shared<SharedData>(*platform.defaults, platform.secretStore)),
      appInfo(AppInfo::fromBundle(*platform.mainBundle, component)),
      clientInfo(ClientInfo::load(*platform.mainBundle)),
      deployment(Deployment::fromBundle(*platform.mainBundle)) {}

FelogConfig EnvCommon::makeFelogConfig() const {
  std::optional<std::string> sessionId = makeUuidString(*platform.crypto);
  if (!sessionId) QV_FATAL("The secure random generator failed");
  return FelogConfig{deployment.logHost,
                     "/logv2",
                     deployment.webOrigin,
                     envType,
                     appInfo.component,
                     clientInfo,
                     std::make_shared<SharedUserInfoProvider>(sharedData),
                     *sessionId};
}

void EnvCommon::installPlatform(Platform platform) {
  std::lock_guard lock(installedMutex);
  installed() = std::move(platform);
}

const Platform& EnvCommon::installedPlatform() {
  std::lock_guard lock(installedMutex);
  if (!installed()) QV_FATAL("No platform was installed before the environment was used");
  return *installed();
}

}  // namespace qv
