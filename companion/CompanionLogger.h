#pragma once

#include <optional>
#include <string_view>

namespace qv {

// The companion's log sites; each string goes out after "companion.".
enum class CompanionLogger {
  oauthHandleUrl,
  getExtensionState,
  openSafari,
  openExtensionsSettings
};

std::string_view toString(CompanionLogger logger);
std::optional<CompanionLogger> companionLoggerFromString(std::string_view text);

}  // namespace qv
