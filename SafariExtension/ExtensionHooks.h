#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Json.h"

namespace qv {

// The sign-in flow's entry points, as content pages and the background page reach them.
// Every call arrives on the main queue.
class SignInFlow {
 public:
  virtual ~SignInFlow() = default;
  // Content page "beginOAuth" (false); the companion's request (true).
  virtual void beginOAuth(bool forceNewWindow) = 0;
  // Content page "closeLoginTab".
  virtual void closeLoginTab() = 0;
  // Content page "oauthExchange": its "redirectUrl" string, absent when missing or not a
  // string. The flow parses the callback URL and performs the exchange.
  virtual void oauthExchangeFromRedirectUrl(const std::optional<std::string>& redirectUrl) = 0;
  // Background page "oauthComplete": its "error" string, absent when missing or not a
  // string.
  virtual void oauthComplete(const std::optional<std::string>& error) = 0;
};

// The settings popup, as the background page reaches it. Called on the main queue.
class SettingsPopup {
 public:
  virtual ~SettingsPopup() = default;
  // Background page "sendToSettingsPopup": the command's name and data (absent when the
  // body had no data object).
  virtual void sendToSettingsPopup(const std::string& name, const std::optional<Json>& data) = 0;
};

// What the background page host hands on to collaborators it does not own. Any member
// may be empty: the matching command or tick then does nothing.
struct BackgroundPageHooks {
  std::shared_ptr<SignInFlow> signInFlow;
  std::shared_ptr<SettingsPopup> settingsPopup;
  // Runs on the main queue at every tick of the 1.0 s companion hand-off poll.
  std::function<void()> pollStep;
};

}  // namespace qv
