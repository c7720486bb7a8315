#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Common/Felog.h"
#include "Common/SharedData.h"
#include "companion/CompanionLogger.h"
#include "platform/Alert.h"
#include "platform/AppleEventManager.h"
#include "platform/MainQueue.h"
#include "platform/SafariExtensionManager.h"

namespace qv {

// The companion's side of the sign-in: it receives the callback URL of a finished
// sign-in and hands the code to the extension, and it asks the extension to open the
// login tab. The extension acts on the shared values; the browser messages sent beside
// them exist so that a browser that cannot be reached is reported to the user.
//
// One instance, owned by the environment. shouldAutoOpenLoginTab and the two
// operations belong to the main thread. Browser completions may arrive on any thread;
// they use only values copied out of this object, so they stay safe after it is gone.
class OAuth {
 public:
  OAuth(Felog<CompanionLogger> felog, std::string extensionBundleIdentifier,
        std::shared_ptr<SharedData> sharedData,
        std::shared_ptr<SafariExtensionManager> safariExtensionManager,
        std::shared_ptr<Alert> alert, std::shared_ptr<MainQueue> mainQueue);
  OAuth(const OAuth&) = delete;
  OAuth& operator=(const OAuth&) = delete;

  // True until the first callback arrives or the enable-extension screen has used it.
  bool shouldAutoOpenLoginTab = true;

  // The get-URL event handler: the callback URL is the event's direct object. Writes
  // the shared exchange message (both fields absent when the URL does not parse), then
  // messages the extension; a refusal is shown in an alert and logged.
  void handleGetURLWithEvent(const AppleEventDescriptor& event, AppleEventDescriptor& replyEvent);

  // Asks the extension to open the login tab. `completion` (may be empty) receives
  // true when the browser took the message; it runs on the browser's thread.
  void openLoginTab(std::function<void(bool)> completion);

  const Felog<CompanionLogger> felog;
  const std::string extensionBundleIdentifier;

 private:
  std::shared_ptr<SharedData> sharedData_;
  std::shared_ptr<SafariExtensionManager> safari_;
  std::shared_ptr<Alert> alert_;
  std::shared_ptr<MainQueue> mainQueue_;
};

}  // namespace qv
