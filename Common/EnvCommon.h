#pragma once

#include <memory>

#include "Common/AppInfo.h"
#include "Common/ClientInfo.h"
#include "Common/Deployment.h"
#include "Common/EnvType.h"
#include "Common/Felog.h"
#include "Common/SharedData.h"
#include "platform/Platform.h"

namespace qv {

// What every process of both deliverables holds once: its identity, its client
// record, the shared store and the deployment values, read from the main bundle at
// construction (which stops the process when the bundle is broken). Fields never
// change afterwards, so any thread may read them.
class EnvCommon {
 public:
  EnvCommon(Platform platform, Component component);
  virtual ~EnvCommon() = default;
  EnvCommon(const EnvCommon&) = delete;
  EnvCommon& operator=(const EnvCommon&) = delete;

  const Platform platform;
  const std::shared_ptr<SharedData> sharedData;
  const AppInfo appInfo;
  const ClientInfo clientInfo;
  const EnvType envType = EnvType::prod;
  const Deployment deployment;

  // The log client settings of this process, with a fresh random session id.
  FelogConfig makeFelogConfig() const;

  // The platform that `main` installs before anything touches a process-wide
  // environment; each deliverable's `Env::shared()` is built from it.
  static void installPlatform(Platform platform);
  static const Platform& installedPlatform();
};

}  // namespace qv
