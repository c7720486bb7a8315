#include "companion/CompanionLogger.h"

namespace qv {

std::string_view toString(CompanionLogger logger) {
  switch (logger) {
    case CompanionLogger::oauthHandleUrl:
      return "oauth.handleUrl";
    case CompanionLogger::getExtensionState:
      return "getExtensionState";
    case CompanionLogger::openSafari:
      return "openSafari";
    case CompanionLogger::openExtensionsSettings:
      return "openExtensionsSettings";
  }
  return "";
}

std::optional<CompanionLogger> companionLoggerFromString(std::string_view text) {
  for (auto logger : {CompanionLogger::oauthHandleUrl, CompanionLogger::getExtensionState,
                      CompanionLogger::openSafari, CompanionLogger::openExtensionsSettings}) {
    if (toString(logger) == text) return logger;
  }
  return std::nullopt;
}

}  // namespace qv
