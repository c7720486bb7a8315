#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SafariExtension/BackgroundCommandDispatcher.h"
#include "SafariExtension/BridgeFormats.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/ExtensionPlatform.h"
#include "SafariExtension/PageRegistry.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"

namespace qv {

// The background page host: owns the hidden web view that runs the extension's
// background script, receives its 13 commands and delivers JavaScript calls to it,
// holding back queued calls until the page posts "ready".
//
// When the page's web process ends (a crash, or killed), the template is loaded again;
// every call made until the new page is ready is queued and evaluated once after it, so
// a content page's message sent meanwhile is not lost.
//
// Confined to the main queue: construct, use and destroy it on the main thread, except
// callBackgroundPageIfReady(). Content-page work reaches it by hopping to the main queue
// first (SafariExtensionHandler does), which keeps the pages' messages in order.
//
// It is also the toolbar popover's view controller: its view (a popover window, 348 × 467
// points until the popup asks for another size) carries the settings popup.
class SafariExtensionViewController final : public PopoverViewController {
 public:
  using Handler = BackgroundHandler;

  // Builds the host: starts the 1.0 s poll, makes the web view (logging a data store that
  // is not persistent), registers the 13 command handlers, installs the start-up
  // arguments script and the bundle's scripts, loads the "bg_index" template, makes the
  // popover's view and installs the settings popup of `hooks` into it.
  // Stops the process when a script or the template is missing from the main bundle, a
  // script cannot be read, or no web view or popover window can be made. `env` must
  // outlive the host.
  SafariExtensionViewController(const Env& env, ExtensionPlatform browser,
                                std::shared_ptr<PageRegistry> registry,
                                BackgroundPageHooks hooks = {});
  ~SafariExtensionViewController() override;
  SafariExtensionViewController(const SafariExtensionViewController&) = delete;
  SafariExtensionViewController& operator=(const SafariExtensionViewController&) = delete;

  // Replaces the sign-in, settings popup and poll hooks; a new settings popup is
  // installed in place of the old one.
  void setHooks(BackgroundPageHooks hooks);

  // Evaluates `call` now when the page is ready; otherwise queues it for "ready".
  void callBackgroundPage(std::string call);
  // Any thread, while the host exists. On the main queue, later: evaluates
  // prefix + argument + ")" if the page is ready by then; otherwise drops it.
  void callBackgroundPageIfReady(std::string_view argument, std::string_view prefix);
  // A content page's (or the settings popup's) "passToBgPage" arguments: their "json"
  // string becomes an "appMessage" call through callBackgroundPage. Logs "Invalid json
  // field" when there is no such string, or it is not one JSON text.
  void passToBackgroundPage(const std::optional<Json>& arguments) override;
  // Tells a ready page which page is in front ("activeTabChanged"); dropped, not queued,
  // before "ready".
  void reportActiveTab(const std::string& pageId, const std::string& url);
  // Loads the "bg_index" template with baseUrl(); leaves readiness and the queue alone.
  void loadBackgroundTemplate();

  // The popover: the browser is about to show it (we present its window ourselves) or
  // has closed it.
  void popoverWillShow();
  void popoverDidClose();
  PopoverWindow& view() override { return *view_; }
  ContentSize preferredContentSize() const override { return preferredContentSize_; }
  void setPreferredContentSize(ContentSize size) override { preferredContentSize_ = size; }
  // Hides the popover window and asks the browser to close its popover.
  void dismissPopover() override;

  bool isBackgroundPageReady() const { return isBackgroundPageReady_; }
  // The early calls, kept and replayed on every "ready".
  const std::vector<std::string>& backgroundPageQueue() const { return backgroundPageQueue_; }
  // Calls made since the page's process ended, evaluated once on the next "ready".
  const std::vector<std::string>& recoveryQueue() const { return recoveryQueue_; }
  // https + the service's bare domain; absent when that does not form a URL.
  const std::optional<std::string>& baseUrl() const { return baseUrl_; }

  static constexpr MainQueue::Duration pollInterval = std::chrono::milliseconds(1000);
  static constexpr ContentSize defaultViewSize{348, 467};
  static constexpr std::size_t maxRecoveryQueue = 1000;

 private:
  void handleScriptMessage(Handler handler, const Json& body);
  void handleReady();
  void handleWebProcessEnded(std::vector<std::string> unfinished);
  void queueForRecovery(std::string call);
  void installUserScripts();
  void evaluateIfReady(const std::string& call);
  // On the main queue, later: host->evaluateIfReady(call) unless the host is gone by
  // then. Any thread; touches nothing of the host before the hop.
  static void evaluateIfReadyLater(MainQueue& queue, std::weak_ptr<bool> alive,
                                   SafariExtensionViewController* host, std::string call);

  const Env& env_;
  const std::shared_ptr<MainQueue> mainQueue_;
  const std::shared_ptr<SafariApplication> application_;
  const std::optional<std::string> baseUrl_;
  const std::vector<std::string> scriptNames_{"Quorvane-bg"};
  bool isBackgroundPageReady_ = false;
  bool recovering_ = false;  // the page's process ended; its reload is not ready yet
  std::vector<std::string> backgroundPageQueue_;
  std::vector<std::string> recoveryQueue_;
  BackgroundPageHooks hooks_;
  // Work queued for the main queue holds a weak copy and finds it expired once the host
  // is gone.
  const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  BackgroundCommandDispatcher dispatcher_;
  std::unique_ptr<TimerHandle> poll_;
  std::unique_ptr<PopoverWindow> view_;
  ContentSize preferredContentSize_ = defaultViewSize;
  std::unique_ptr<WebView> webView_;
};

// The process's single background page host, built on the main queue the first time it
// is asked for (SafariExtensionHandler asks as soon as it is created). Created once by
// main and shared with every handler. Construction may happen on any thread; everything
// else is main thread only.
class SharedViewController {
 public:
  SharedViewController(const Env& env, ExtensionPlatform browser,
                       std::shared_ptr<PageRegistry> registry);

  // The host, built on the first call. Main queue only.
  SafariExtensionViewController& instance();
  // Whether instance() has built the host. Any thread.
  bool isBuilt() const { return built_.load(std::memory_order_acquire); }
  // Hooks for the host, whether it is built already or not.
  void setHooks(BackgroundPageHooks hooks);

 private:
  const Env& env_;
  ExtensionPlatform browser_;
  std::shared_ptr<PageRegistry> registry_;
  BackgroundPageHooks hooks_;
  std::unique_ptr<SafariExtensionViewController> instance_;
  std::atomic<bool> built_{false};
};

}  // namespace qv
