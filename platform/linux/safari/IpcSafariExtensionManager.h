#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/SafariExtensionManager.h"

namespace qv {

namespace ipc {
struct Method;
}

// The browser seen from the containing application, over safari-host's control socket
// (extensions.dispatchMessage, extensions.getState, extensions.showPreferences). Calls
// share one connection, opened by the first and kept while it stays open, so that a poll
// costs one frame each way; a call that finds the browser gone from it (it quit or
// restarted since) is made again on a new connection.
//
// When nothing listens on the socket, the operations behave as the Mac's do with Safari
// closed: getState answers from the user's stored choices (`BrowserAbsent::choicesPath`,
// for the extension as `appBundlePath` provides it; disabled when none is stored) and
// never starts the browser; dispatchMessage and showPreferences start it with
// `startBrowser`, wait up to `startWait` for the socket, then make the call.
//
// Errors, as `SafariError::description`: the browser's own error text; "Safari is not
// running" when nothing listens on the socket (after starting it, where that applies);
// "Safari closed the connection" when it hangs up before answering; "Safari did not
// answer" when no answer comes within the timeout (so that a completion always comes). A
// getState answer without a boolean "isEnabled" gives neither state nor error.
//
// Completions run on the connection's reader thread, or on the main queue for answers
// given without the browser and for the timeout; never on the caller's stack. Every
// method may be called from any thread; `startBrowser` runs on the main queue.
// `mainQueue` must outlive pending calls' timeouts.
class IpcSafariExtensionManager final : public SafariExtensionManager {
 public:
  struct BrowserAbsent {
    std::string choicesPath;    // ipc::extensionChoicesPath() in production
    std::string appBundlePath;  // the containing application's bundle
    // Starts the browser; false when it could not even be started. Empty: never started.
    std::function<bool()> startBrowser;
    std::chrono::milliseconds startWait = std::chrono::seconds(10);
  };

  IpcSafariExtensionManager(std::string socketPath, std::shared_ptr<MainQueue> mainQueue,
                            BrowserAbsent absent,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

  void dispatchMessage(const std::string& name, const std::string& extensionIdentifier,
                       const std::optional<Json>& userInfo, ErrorCompletion completion) override;
  void getStateOfSafariExtension(const std::string& extensionIdentifier,
                                 StateCompletion completion) override;
  void showPreferencesForExtension(const std::string& extensionIdentifier,
                                   ErrorCompletion completion) override;

  static constexpr const char* notRunningDescription = "Safari is not running";

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace qv
