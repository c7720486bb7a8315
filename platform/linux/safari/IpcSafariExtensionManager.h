#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/SafariExtensionManager.h"

namespace qv {

namespace ipc {
struct Method;
}

// The browser seen from the containing application, over safari-host's control socket
// (extensions.dispatchMessage, extensions.getState, extensions.showPreferences). Each
// operation opens its own connection, makes one call and closes it, so a browser that
// restarts between two calls is simply found again.
//
// Errors, as `SafariError::description`: the browser's own error text; "Safari is not
// running" when nothing listens on the socket; "Safari closed the connection" when it
// hangs up before answering; "Safari did not answer" when no answer comes within the
// timeout (so that a completion always comes). A getState answer without a boolean
// "isEnabled" gives neither state nor error.
//
// Completions run on the connection's reader thread, or on the main queue for the
// refused connection and the timeout; never on the caller's stack. Every method may be
// called from any thread; `mainQueue` must outlive pending calls' timeouts.
class IpcSafariExtensionManager final : public SafariExtensionManager {
 public:
  IpcSafariExtensionManager(std::string socketPath, std::shared_ptr<MainQueue> mainQueue,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

  void dispatchMessage(const std::string& name, const std::string& extensionIdentifier,
                       const std::optional<Json>& userInfo, ErrorCompletion completion) override;
  void getStateOfSafariExtension(const std::string& extensionIdentifier,
                                 StateCompletion completion) override;
  void showPreferencesForExtension(const std::string& extensionIdentifier,
                                   ErrorCompletion completion) override;

  static constexpr const char* notRunningDescription = "Safari is not running";

 private:
  struct Outcome {
    std::optional<Json> result;
    std::optional<SafariError> error;
  };
  void call(const ipc::Method& method, Json args, std::function<void(Outcome)> onOutcome);

  std::string socketPath_;
  std::shared_ptr<MainQueue> mainQueue_;
  std::chrono::milliseconds timeout_;
};

}  // namespace qv
