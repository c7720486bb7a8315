#include "companion/Env.h"

#include <mutex>

#include "Common/FatalError.h"

namespace qv {
namespace {

std::mutex installedMutex;
std::optional<CompanionPlatform>& installedCompanion() {
  static std::optional<CompanionPlatform> companion;
  return companion;
}

CompanionPlatform installedCompanionPlatform() {
  std::lock_guard lock(installedMutex);
  if (!installedCompanion()) {
    QV_FATAL("No companion platform was installed before the environment was used");
  }
  return *installedCompanion();
}

}  // namespace

Env::Env(Platform platformIn, CompanionPlatform companionIn)
    : EnvCommon(std::move(platformIn), Component::companion), companion(std::move(companionIn)) {
  felog.emplace(makeFelogConfig(), platform.urlSession, platform.systemLog);

  auth = std::make_shared<Auth>(clientInfo.clientType, clientInfo.clientVersion,
                                deployment.authHost, platform.urlSession, companion.cookieParser);

  std::shared_ptr<UserDefaults> standardDefaults;
  if (std::optional<std::string> identifier = platform.mainBundle->bundleIdentifier()) {
    standardDefaults = platform.defaults->standard(*identifier);
  }
  tracker = Tracker::create(clientInfo.vornClientType, clientInfo.clientVersion,
                            Component::companion, auth, *sharedData, envType != EnvType::prod,
                            /*isPingDisabled=*/true, deployment.analyticsHost, deployment.webOrigin,
                            VornServices{platform.urlSession, standardDefaults, platform.clock,
                                         platform.crypto, platform.mainQueue});

  oauth = std::make_shared<OAuth>(*felog, appInfo.extensionBundleIdentifier, sharedData,
                                  companion.safariExtensionManager, companion.alert,
                                  platform.mainQueue);
}

void Env::installCompanionPlatform(CompanionPlatform companion) {
  std::lock_guard lock(installedMutex);
  installedCompanion() = std::move(companion);
}

Env& Env::shared() {
  // Never destroyed: it lives until the process ends, like everything it owns.
  static Env* env = new Env(installedPlatform(), installedCompanionPlatform());
  return *env;
}

}  // namespace qv
