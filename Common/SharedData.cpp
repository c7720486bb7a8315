#include "Common/SharedData.h"

#include "Common/Identifiers.h"
#include "platform/EnumNames.h"
#include "platform/JsonFields.h"

namespace qv {

Json OAuthExchangeMessage::toJson() const {
  Json json = Json::object();
  if (code) json["code"] = *code;
  if (codeChallenge) json["codeChallenge"] = *codeChallenge;
  return json;
}

std::optional<OAuthExchangeMessage> OAuthExchangeMessage::fromJson(const Json& json) {
  auto code = json::optionalString(json, "code");
  auto codeChallenge = json::optionalString(json, "codeChallenge");
  if (!code || !codeChallenge) return std::nullopt;
  return OAuthExchangeMessage{*code, *codeChallenge};
}

constexpr EnumName<CompanionMessage> kCompanionMessageNames[] = {
    {CompanionMessage::oauthExchange, "oauthExchange"},
    {CompanionMessage::oauthOpenLoginTab, "oauthOpenLoginTab"},
    {CompanionMessage::openSafari, "openSafari"}};

std::string_view toString(CompanionMessage message) {
  return enumName(kCompanionMessageNames, message);
}

std::optional<CompanionMessage> companionMessageFromString(std::string_view text) {
  return enumValue(kCompanionMessageNames, text);
}

namespace {

std::shared_ptr<DataContainer> makeBackend(const std::shared_ptr<UserDefaults>& suite) {
  if (!suite) return std::make_shared<NoopDataContainer>();
  return std::make_shared<UserDefaultsContainer>(suite);
}

}  // namespace

SharedData::SharedData(UserDefaultsFactory& defaults, std::shared_ptr<SecretStore> secretStore)
    : userDefaults(defaults.suite(appGroupSuiteName)),
      userInfo{makeBackend(userDefaults), "userInfo", std::nullopt},
      companionContainerId{userInfo.container, "companionContainerId", std::nullopt},
      oauthExchangeMessage{userInfo.container, "message.oauthExchangeMessage", std::nullopt},
      oauthOpenLoginTabMessage{userInfo.container, "message.oauthOpenLoginTabMessage",
                               std::nullopt},
      keychain_(keychainService, keychainAccessGroup, std::move(secretStore)) {}

}  // namespace qv
