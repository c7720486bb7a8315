#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Json.h"
#include "platform/WebView.h"

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

// The toolbar popover's view controller, as the settings popup inside it drives it (the
// background page host plays it). Main thread only.
class PopoverViewController {
 public:
  virtual ~PopoverViewController() = default;
  // The popover's view: the window the popup's web view fills.
  virtual PopoverWindow& view() = 0;
  virtual ContentSize preferredContentSize() const = 0;
  virtual void setPreferredContentSize(ContentSize size) = 0;
  // Hides the popover and asks the browser to close it.
  virtual void dismissPopover() = 0;
  // The pass-to-background-page operation of the content pages' "passToBgPage".
  virtual void passToBackgroundPage(const std::optional<Json>& arguments) = 0;
};

// The settings popup, as the background page host reaches it. Called on the main queue.
class SettingsPopup {
 public:
  virtual ~SettingsPopup() = default;
  // Puts the popup into `popover`'s view; the host calls it once it is built, and
  // uninstall() before it goes away (the popup keeps `popover` until then).
  virtual void install(PopoverViewController& popover) = 0;
  virtual void uninstall() = 0;
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
