#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/Tabs.h"
#include "platform/Json.h"
#include "platform/SafariServices.h"
#include "platform/WebView.h"

namespace qv {

// The settings popup shown in the toolbar popover: a web view in the popover's view that
// loads the bundle's popup script and style sheet against https://<bare domain>/popup,
// receives the popup script's six messages, and delivers the background page's messages
// to the popup, holding them back until the popup reports that it is ready. When the
// popup's web process ends, the page is loaded again and what is sent meanwhile is
// delivered once it is ready.
//
// Main thread only. One per process, made by main and handed to the background page
// host, which installs it into its view when it is built.
class SafariExtensionSettingPopupViewController final : public SettingsPopup {
 public:
  // The script message names, in the order they are registered.
  enum class Handler {
    sendToBgFromSettingsPopup,
    settingPopupReady,
    openUrl,
    setPopupSize,
    beginOAuth,
    closePopup
  };
  static constexpr std::array<Handler, 6> allHandlers = {Handler::sendToBgFromSettingsPopup,
                                                         Handler::settingPopupReady,
                                                         Handler::openUrl,
                                                         Handler::setPopupSize,
                                                         Handler::beginOAuth,
                                                         Handler::closePopup};
  static std::string_view toString(Handler handler);
  static std::optional<Handler> handlerFromString(std::string_view name);

  // A message for the popup that arrived before it was ready.
  struct QueuedMessage {
    std::string name;
    std::optional<Json> data;

    bool operator==(const QueuedMessage&) const = default;
  };

  static constexpr std::size_t maxRecoveryQueue = 1000;

  // `env` must outlive the popup. `signInFlow` may be null: "beginOAuth" then does
  // nothing.
  SafariExtensionSettingPopupViewController(const Env& env,
                                            std::shared_ptr<SafariApplication> application,
                                            std::shared_ptr<SignInFlow> signInFlow);
  ~SafariExtensionSettingPopupViewController() override;
  SafariExtensionSettingPopupViewController(const SafariExtensionSettingPopupViewController&) =
      delete;
  SafariExtensionSettingPopupViewController& operator=(
      const SafariExtensionSettingPopupViewController&) = delete;

  // Makes the popup's web view in `popover`'s view, registers the six handlers, adds the
  // popup script and loads the page (logging a resource that cannot be read). Stops the
  // process when the script or the style sheet is missing from the bundle.
  void install(PopoverViewController& popover) override;
  // Drops the web view and forgets the popover.
  void uninstall() override;

  // The background page's "sendToSettingsPopup": queued until the popup is ready, then
  // handed to the popup script's appMessageHandler with the "json" string of `data`.
  void sendToSettingsPopup(const std::string& name, const std::optional<Json>& data) override;

  // A script message from the popup, by name (the web view's script-message callback).
  void userContentController(const std::string& name, const Json& body);

  bool isSettingPopupPageReady() const { return isSettingPopupPageReady_; }
  const std::vector<QueuedMessage>& settingsPopupMessageQueue() const {
    return settingsPopupMessageQueue_;
  }
  // Calls made since the popup's process ended (and those it had not run yet),
  // evaluated once on its next ready.
  const std::vector<std::string>& recoveryQueue() const { return recoveryQueue_; }
  // Null until installed.
  WebView* settingPopupWebView() const { return settingPopupWebView_.get(); }

  // The popup page: the fixed HTML shell with `styleSheet` between <style> and </style>.
  static std::string pageHtml(std::string_view styleSheet);
  // https + the service's bare domain + "/popup"; absent when that is no URL.
  static std::optional<std::string> baseUrl(const Deployment& deployment);

 private:
  void handle(Handler handler, const Json& body);
  void sendToBackground(const Json& body);
  void openUrl(const Json& body);
  void setPopupSize(const Json& body);
  void settingPopupReady();
  void loadPage();
  void handleWebProcessEnded(std::vector<std::string> unfinished);
  // The popup script's call for a message; absent (and logged) when it has no JSON text.
  std::optional<std::string> callFor(const std::string& name, const std::optional<Json>& data);
  void deliver(const std::string& name, const std::optional<Json>& data);
  void logInvalidMessage(Handler handler) const;

  const Env& env_;
  const Tabs tabs_;
  const std::shared_ptr<SignInFlow> signInFlow_;
  PopoverViewController* popover_ = nullptr;
  std::unique_ptr<WebView> settingPopupWebView_;
  bool isSettingPopupPageReady_ = false;
  bool recovering_ = false;  // the popup's process ended; its reload is not ready yet
  std::vector<QueuedMessage> settingsPopupMessageQueue_;
  std::vector<std::string> recoveryQueue_;
};

}  // namespace qv
