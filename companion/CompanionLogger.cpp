#include "companion/CompanionLogger.h"

#include "platform/EnumNames.h"

namespace qv {
namespace {

constexpr EnumName<CompanionLogger> kLoggerNames[] = {
    {CompanionLogger::oauthHandleUrl, "oauth.handleUrl"},
    {CompanionLogger::getExtensionState, "getExtensionState"},
    {CompanionLogger::openSafari, "openSafari"},
    {CompanionLogger::openExtensionsSettings, "openExtensionsSettings"}};

}  // namespace

std::string_view toString(CompanionLogger logger) {
  return enumName(kLoggerNames, logger);
}

std::optional<CompanionLogger> companionLoggerFromString(std::string_view text) {
  return enumValue(kLoggerNames, text);
}

}  // namespace qv
