#pragma once

#include <optional>

#include "Common/EnvCommon.h"
#include "Common/Felog.h"
#include "SafariExtension/NativeLogger.h"

namespace qv {

// The extension process's environment: the shared foundation plus its log client.
class Env final : public EnvCommon {
 public:
  explicit Env(Platform platform);

  std::optional<Felog<NativeLogger>> felog;

  // The process-wide environment, built on first access from the installed platform.
  // Concurrent first accesses construct it once.
  static Env& shared();
};

}  // namespace qv
