#pragma once

#include <optional>

#include "Common/EnvCommon.h"
#include "Common/Felog.h"
#include "companion/CompanionLogger.h"

namespace qv {

// The companion process's environment: the shared foundation plus its log client.
class Env final : public EnvCommon {
 public:
  explicit Env(Platform platform);

  std::optional<Felog<CompanionLogger>> felog;

  // The process-wide environment, built on first access from the installed platform.
  static Env& shared();
};

}  // namespace qv
