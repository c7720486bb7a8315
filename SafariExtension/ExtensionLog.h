#pragma once

#include <string>

#include "SafariExtension/Env.h"

namespace qv {

// Logs one error-level record through the extension's remote log, when it has one.
// Any thread.
inline void logError(const Env& env, NativeLogger logger, std::string message) {
  if (env.felog) env.felog->log(logger, LogLevel::error, std::move(message));
}

}  // namespace qv
