#pragma once

#include <memory>
#include <optional>

#include "Common/EnvCommon.h"
#include "Common/Felog.h"
#include "companion/CompanionLogger.h"
#include "companion/CompanionPlatform.h"
#include "companion/OAuth.h"
#include "companion/telemetry/Auth.h"
#include "companion/telemetry/Tracker.h"

namespace qv {

// The companion process's environment: the shared foundation, its log client, the
// user session fetch, the analytics owner and the sign-in callback handler, plus the
// companion-only platform facilities. Construct it on the main thread (the tracker
// belongs there). After construction every member is set and none is replaced.
class Env final : public EnvCommon {
 public:
  Env(Platform platform, CompanionPlatform companion);

  const CompanionPlatform companion;
  std::shared_ptr<Auth> auth;
  std::shared_ptr<OAuth> oauth;
  std::shared_ptr<Tracker> tracker;
  std::optional<Felog<CompanionLogger>> felog;

  // The companion facilities `main` installs (beside EnvCommon::installPlatform)
  // before anything touches the process-wide environment.
  static void installCompanionPlatform(CompanionPlatform companion);
  // The process-wide environment, built on first access from the installed platforms.
  static Env& shared();
};

}  // namespace qv
