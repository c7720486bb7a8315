#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "SafariExtension/Tabs.h"
#include "platform/Json.h"
#include "platform/SafariServices.h"

namespace qv {

// The extension's entry points as the browser calls them. Holds no state of its own:
// pages go to the registry, everything else to the background page host and the
// sign-in flow. Cheap to create; the browser may create one per request.
//
// Threads: the browser calls it on a thread of its choosing (the IPC reader thread).
// The registry is updated on that thread; every other action hops to the main queue,
// in the order the messages arrived, because the host and the sign-in flow live there.
class SafariExtensionHandler {
 public:
  // The content-page message names.
  enum class Handler {
    unregisterPage,
    activePage,
    passToBgPage,
    beginOAuth,
    closeLoginTab,
    oauthExchange
  };
  static constexpr std::array<Handler, 6> allHandlers = {
      Handler::unregisterPage, Handler::activePage,    Handler::passToBgPage,
      Handler::beginOAuth,     Handler::closeLoginTab, Handler::oauthExchange};
  static std::string_view toString(Handler handler);
  static std::optional<Handler> handlerFromString(std::string_view name);

  using ValidationHandler = std::function<void(bool enabled, const std::string& badgeText)>;

  // Schedules, on the main queue, the building of the background page host, so that the
  // page starts loading as soon as the process serves its first request. `signInFlow`
  // may be null: the sign-in messages then do nothing. `env` must outlive the handler and
  // the work it queues (the process-wide Env does).
  SafariExtensionHandler(const Env& env, std::shared_ptr<SafariApplication> application,
                         std::shared_ptr<PageRegistry> registry,
                         std::shared_ptr<SharedViewController> host,
                         std::shared_ptr<SignInFlow> signInFlow);

  // A content script's message: {"meta": {"srcPageId": id}, "data": {...}}. Registers
  // the page under its id, then acts by name; failures are logged once and dropped.
  void messageReceived(const std::string& name, std::shared_ptr<SafariPage> page,
                       const std::optional<Json>& userInfo);
  // Answers (enabled, "") at once, then asks every page of the active tab to report
  // itself ("exposedApi.reportActive").
  void validateToolbarItem(std::shared_ptr<SafariWindow> window,
                           const ValidationHandler& validationHandler);
  // The browser is about to show the toolbar popover, or has closed it: the popover's
  // window (which we present ourselves) is shown or hidden on the main queue.
  void popoverWillShow(std::shared_ptr<SafariWindow> window);
  void popoverDidClose(std::shared_ptr<SafariWindow> window);
  // The companion reaches the extension through the shared store, which the host polls.
  void messageReceivedFromContainingApp(const std::string& name,
                                        const std::optional<Json>& userInfo);
  // The browser's Develop menu: loads the background page's template again, as the
  // page's own "reloadBgPage" command does.
  void reloadBackgroundPage();

 private:
  void broadcastReportActive();
  void onMainQueue(std::function<void(SafariExtensionViewController&)> work);

  const Env& env_;
  Tabs tabs_;
  std::shared_ptr<PageRegistry> registry_;
  std::shared_ptr<SharedViewController> host_;
  std::shared_ptr<SignInFlow> signInFlow_;
};

}  // namespace qv
