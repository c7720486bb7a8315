#include "SafariExtension/BridgeFormats.h"

#include "platform/EnumNames.h"
#include "platform/JsonFields.h"

namespace qv {

Json Page::toJson() const {
  return Json{{"id", id}, {"url", url}};
}

std::optional<Page> Page::fromJson(const Json& json) {
  auto id = json::string(json, "id");
  auto url = json::string(json, "url");
  if (!id || !url) return std::nullopt;
  return Page{*id, *url};
}

Json ActiveTabChangedArgs::toJson() const {
  return Json{{"activeTabTopPage", activeTabTopPage.toJson()}};
}

std::optional<ActiveTabChangedArgs> ActiveTabChangedArgs::fromJson(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  auto it = json.find("activeTabTopPage");
  if (it == json.end()) return std::nullopt;
  auto page = Page::fromJson(*it);
  if (!page) return std::nullopt;
  return ActiveTabChangedArgs{*page};
}

constexpr EnumName<BackgroundHandler> kBackgroundHandlerNames[] = {
    {BackgroundHandler::ready, "ready"},
    {BackgroundHandler::sendToContentPage, "sendToContentPage"},
    {BackgroundHandler::sendToActiveTab, "sendToActiveTab"},
    {BackgroundHandler::sendToAllContentPages, "sendToAllContentPages"},
    {BackgroundHandler::fetchBlacklistConfig, "fetchBlacklistConfig"},
    {BackgroundHandler::openNewTab, "openNewTab"},
    {BackgroundHandler::updateCurrentTab, "updateCurrentTab"},
    {BackgroundHandler::sendToSettingsPopup, "sendToSettingsPopup"},
    {BackgroundHandler::reloadBgPage, "reloadBgPage"},
    {BackgroundHandler::setBadge, "setBadge"},
    {BackgroundHandler::setBadgeText, "setBadgeText"},
    {BackgroundHandler::setUserInfo, "setUserInfo"},
    {BackgroundHandler::oauthComplete, "oauthComplete"}};

std::string_view toString(BackgroundHandler handler) {
  return enumName(kBackgroundHandlerNames, handler);
}

std::optional<BackgroundHandler> backgroundHandlerFromString(std::string_view text) {
  return enumValue(kBackgroundHandlerNames, text);
}

std::optional<BackgroundCommand> BackgroundCommand::parse(const Json& body) {
  if (!body.is_object()) return std::nullopt;
  auto name = json::string(body, "name");
  if (!name) return std::nullopt;
  BackgroundCommand command{*name, json::string(body, "pageId"), std::nullopt};
  auto data = body.find("data");
  if (data != body.end() && data->is_object()) command.data = *data;
  return command;
}

namespace bridge {

std::string makeCall(std::string_view prefix, std::string_view argument) {
  std::string call;
  call.reserve(prefix.size() + argument.size() + 1);
  call.append(prefix).append(argument).append(")");
  return call;
}

std::optional<std::string> encode(const Json& value) {
  return json::dump(value);
}

std::optional<std::string> activeTabChangedArgument(const std::string& pageId,
                                                    const std::string& url) {
  return encode(ActiveTabChangedArgs{Page{pageId, url}}.toJson());
}

std::optional<std::string> oauthExchangeArgument(const std::string& code,
                                                 const std::string& codeVerifier) {
  return encode(Json{{"code", code}, {"codeVerifier", codeVerifier}});
}

std::optional<std::string> bgInitArgsScript(
    const std::optional<std::string>& companionContainerId) {
  Json args = Json::object();
  args["companionContainerId"] = companionContainerId ? Json(*companionContainerId) : Json();
  auto text = encode(args);
  if (!text) return std::nullopt;
  return std::string(bgInitArgsPrefix) + *text;
}

std::optional<std::string> javaScriptStringLiteral(const std::string& text) {
  std::optional<std::string> literal = encode(Json(text));
  if (!literal) return std::nullopt;
  // JSON leaves the line and paragraph separators raw (E2 80 A8/A9); escape them.
  std::string escaped;
  escaped.reserve(literal->size());
  for (std::size_t i = 0; i < literal->size(); ++i) {
    if (literal->compare(i, 2, "\xE2\x80") == 0 && i + 2 < literal->size() &&
        ((*literal)[i + 2] == '\xA8' || (*literal)[i + 2] == '\xA9')) {
      escaped += (*literal)[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      escaped += (*literal)[i];
    }
  }
  return escaped;
}

std::optional<std::string> settingsPopupCall(const std::string& name, const std::string& json) {
  std::optional<std::string> nameLiteral = javaScriptStringLiteral(name);
  std::optional<std::string> jsonLiteral = javaScriptStringLiteral(json);
  if (!nameLiteral || !jsonLiteral) return std::nullopt;
  return makeCall(settingsPopupAppMessageHandlerPrefix, *nameLiteral + ", " + *jsonLiteral);
}

bool isOneJsonText(std::string_view text) {
  // accept() validates without building a value and never throws on bad input.
  return Json::accept(text);
}

}  // namespace bridge
}  // namespace qv
