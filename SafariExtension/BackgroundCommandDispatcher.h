#pragma once

#include <functional>
#include <memory>
#include <string>

#include "SafariExtension/BridgeFormats.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/Tabs.h"
#include "platform/SafariServices.h"

namespace qv {

// Carries out the background page's commands: checks each command's arguments (logging
// under "bg.webView.handleMessage.invalidArguments" with the command's text when they do
// not fit) and relays to content pages, tabs, the toolbar item, the shared store, the
// network and the hooks. Owned by the background page host; main thread only. The
// asynchronous browser and network steps it starts hold no reference to it.
class BackgroundCommandDispatcher {
 public:
  // Hands a fetched configuration (one JSON text) to the background page. Called on the
  // URL session's thread; must hop to the main queue itself and stay safe to call after
  // the host is gone.
  using DeliverBlacklistConfig = std::function<void(std::string json)>;

  // `env` and `hooks` must outlive the dispatcher (the host owns both).
  BackgroundCommandDispatcher(const Env& env, std::shared_ptr<SafariApplication> application,
                              std::shared_ptr<PageRegistry> registry,
                              const BackgroundPageHooks& hooks,
                              DeliverBlacklistConfig deliverBlacklistConfig);

  // One script message. `ready` and `reloadBgPage` are the host's own and ignored here.
  void dispatch(BackgroundHandler handler, const Json& body);

 private:
  void sendToContentPage(const BackgroundCommand& command);
  void sendToActiveTab(const BackgroundCommand& command);
  void sendToAllContentPages(const BackgroundCommand& command);
  void fetchBlacklistConfig(const BackgroundCommand& command);
  void openNewTab(const BackgroundCommand& command);
  void updateCurrentTab(const BackgroundCommand& command);
  void sendToSettingsPopup(const BackgroundCommand& command);
  void setBadge(const BackgroundCommand& command);
  void setBadgeText(const BackgroundCommand& command);
  void setUserInfo(const BackgroundCommand& command);
  void oauthComplete(const BackgroundCommand& command);

  void logInvalidArguments(std::string text) const;

  const Env& env_;
  std::shared_ptr<PageRegistry> registry_;
  Tabs tabs_;
  const BackgroundPageHooks& hooks_;
  DeliverBlacklistConfig deliverBlacklistConfig_;
};

}  // namespace qv
