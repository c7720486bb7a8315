#include "SafariExtension/Env.h"

namespace qv {

Env::Env(Platform platformIn) : EnvCommon(std::move(platformIn), Component::native) {
  felog.emplace(makeFelogConfig(), platform.urlSession, platform.systemLog);
}

Env& Env::shared() {
  // Never destroyed: it lives until the process ends, like everything it owns.
  static Env* env = new Env(installedPlatform());
  return *env;
}

}  // namespace qv
