#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Json.h"

namespace qv {

// Every text that crosses between native code and the scripts it hosts. The scripts
// are not ours, so these shapes are fixed: change nothing here without changing them.

// A content page as the background page knows it.
struct Page {
  std::string id;
  std::string url;

  Json toJson() const;
  static std::optional<Page> fromJson(const Json& json);

  bool operator==(const Page&) const = default;
};

// The argument of "window.exposedApi.activeTabChanged(".
struct ActiveTabChangedArgs {
  Page activeTabTopPage;

  Json toJson() const;
  static std::optional<ActiveTabChangedArgs> fromJson(const Json& json);

  bool operator==(const ActiveTabChangedArgs&) const = default;
};

// The names under which the background page posts its commands, in the order they are
// registered with the web view.
enum class BackgroundHandler {
  ready,
  sendToContentPage,
  sendToActiveTab,
  sendToAllContentPages,
  fetchBlacklistConfig,
  openNewTab,
  updateCurrentTab,
  sendToSettingsPopup,
  reloadBgPage,
  setBadge,
  setBadgeText,
  setUserInfo,
  oauthComplete,
};

inline constexpr std::array<BackgroundHandler, 13> allBackgroundHandlers = {
    BackgroundHandler::ready,
    BackgroundHandler::sendToContentPage,
    BackgroundHandler::sendToActiveTab,
    BackgroundHandler::sendToAllContentPages,
    BackgroundHandler::fetchBlacklistConfig,
    BackgroundHandler::openNewTab,
    BackgroundHandler::updateCurrentTab,
    BackgroundHandler::sendToSettingsPopup,
    BackgroundHandler::reloadBgPage,
    BackgroundHandler::setBadge,
    BackgroundHandler::setBadgeText,
    BackgroundHandler::setUserInfo,
    BackgroundHandler::oauthComplete,
};

std::string_view toString(BackgroundHandler handler);
std::optional<BackgroundHandler> backgroundHandlerFromString(std::string_view text);

// The body of a script message from the background page.
struct BackgroundCommand {
  std::string name;
  std::optional<std::string> pageId;
  std::optional<Json> data;  // always an object when present

  // Absent unless `body` is an object with a string "name". A "pageId" that is not a
  // string, or a "data" that is not an object, is dropped; the rest is kept.
  static std::optional<BackgroundCommand> parse(const Json& body);

  bool operator==(const BackgroundCommand&) const = default;
};

// JavaScript calls into the background page: prefix + argument text + ")".
namespace bridge {

inline constexpr std::string_view appMessagePrefix = "window.exposedApi.appMessage(";
inline constexpr std::string_view activeTabChangedPrefix = "window.exposedApi.activeTabChanged(";
inline constexpr std::string_view oauthExchangePrefix = "window.exposedApi.oauthExchange(";
inline constexpr std::string_view receiveBlacklistConfigPrefix =
    "window.exposedApi.receiveBlacklistConfig(";
inline constexpr std::string_view bgInitArgsPrefix = "window.bgInitArgs = ";

// Messages the extension itself sends to content pages.
inline constexpr std::string_view reportActiveMessage = "exposedApi.reportActive";
inline constexpr std::string_view oauthErrorMessage = "exposedApi.oauthError";

// The argument is inserted as given: callers pass JSON text they have checked or built.
std::string makeCall(std::string_view prefix, std::string_view argument);

// Compact JSON text; absent when a string in `value` is not valid UTF-8.
std::optional<std::string> encode(const Json& value);

// The "activeTabChanged" argument for a page; absent when it cannot be encoded.
std::optional<std::string> activeTabChangedArgument(const std::string& pageId,
                                                    const std::string& url);

// The "oauthExchange" argument: {"code": …, "codeVerifier": …}; absent when it cannot
// be encoded.
std::optional<std::string> oauthExchangeArgument(const std::string& code,
                                                 const std::string& codeVerifier);

// The user script that hands the background page its start-up arguments:
// "window.bgInitArgs = " + {"companionContainerId": id or null}. Absent when it cannot
// be encoded.
std::optional<std::string> bgInitArgsScript(const std::optional<std::string>& companionContainerId);

// The settings popup's entry point, called as prefix + name literal + ", " + JSON text
// literal + ")".
inline constexpr std::string_view settingsPopupAppMessageHandlerPrefix =
    "window.settingsPopupExposedApi.appMessageHandler(";

// `text` as a double-quoted JavaScript string literal that evaluates to exactly `text`
// (JSON string escaping, plus U+2028 and U+2029, which older JavaScript does not allow
// raw in a literal). Absent when `text` is not valid UTF-8.
std::optional<std::string> javaScriptStringLiteral(const std::string& text);

// "window.settingsPopupExposedApi.appMessageHandler(" + literal(name) + ", " +
// literal(json) + ")"; absent when either is not valid UTF-8.
std::optional<std::string> settingsPopupCall(const std::string& name, const std::string& json);

// Whether `text` is exactly one JSON text (surrounding JSON whitespace allowed), so that
// inserted into a call it can only ever be one argument.
bool isOneJsonText(std::string_view text);

}  // namespace bridge
}  // namespace qv
