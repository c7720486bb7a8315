#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Common/ContainerValue.h"
#include "Common/Keychain.h"
#include "Common/UserInfo.h"
#include "platform/SecretStore.h"
#include "platform/UserDefaults.h"

namespace qv {

// The sign-in result that the companion hands to the extension.
struct OAuthExchangeMessage {
  std::optional<std::string> code;
  std::optional<std::string> codeChallenge;

  // Absent members are left out; a missing member or null decodes as absent.
  Json toJson() const;
  static std::optional<OAuthExchangeMessage> fromJson(const Json& json);

  bool operator==(const OAuthExchangeMessage&) const = default;
};

// Names of the messages the companion sends the extension through the browser.
enum class CompanionMessage { oauthExchange, oauthOpenLoginTab, openSafari };

std::string_view toString(CompanionMessage message);
std::optional<CompanionMessage> companionMessageFromString(std::string_view text);

// The state the two deliverables share through the app-group suite. One per process,
// owned by the environment. Falls back to a no-op backend when the suite cannot be
// opened, so construction never fails.
class SharedData {
 public:
  SharedData(UserDefaultsFactory& defaults, std::shared_ptr<SecretStore> secretStore);

  std::shared_ptr<UserDefaults> userDefaults;  // null when the suite could not be opened
  ContainerValue<std::optional<UserInfo>> userInfo;
  ContainerValue<std::optional<std::string>> companionContainerId;
  ContainerValue<std::optional<OAuthExchangeMessage>> oauthExchangeMessage;
  ContainerValue<std::optional<bool>> oauthOpenLoginTabMessage;

 private:
  Keychain keychain_;  // kept ready; no shared value is stored in it today
};

}  // namespace qv
