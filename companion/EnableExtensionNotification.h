#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Common/Felog.h"
#include "companion/CompanionLogger.h"
#include "platform/Alert.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SafariExtensionManager.h"

namespace qv {

// The one-minute reminder: sixty seconds after creation, if the extension is still
// disabled, the user gets one notification whose action opens the browser's settings
// for the extension. Also the operation that opens those settings, which the
// enable-extension screen uses too.
//
// Create it on the main thread; its methods run there. The timer and the browser
// completions hold it weakly: once it is gone they do nothing (apart from reporting a
// failure to open the settings).
class EnableExtensionNotification final
    : public NotificationCenterDelegate,
      public std::enable_shared_from_this<EnableExtensionNotification> {
 public:
  static constexpr double reminderDelaySeconds = 60.0;
  static constexpr const char* notificationIdentifier = "enable-extension";

  // Becomes the notification center's delegate and arms the one-shot timer.
  static std::shared_ptr<EnableExtensionNotification> create(
      Felog<CompanionLogger> felog, std::string extensionBundleIdentifier,
      std::shared_ptr<SafariExtensionManager> safariExtensionManager,
      std::shared_ptr<NotificationCenter> notificationCenter, std::shared_ptr<Alert> alert,
      std::shared_ptr<MainQueue> mainQueue);

  // The notification is shown even while the application is in front.
  bool shouldPresent(const UserNotification& notification) override;
  // Any click on the notification opens the settings.
  void didActivate(const UserNotification& notification) override;

  // Asks the browser to show its settings for the extension. A failure is shown in an
  // alert and logged. `completion` (may be empty) then runs on the main queue, after
  // a failure as well as after success, so that whoever waits can restore itself.
  void showExtensionPreferences(std::function<void()> completion);

  // The notification delivered by the reminder.
  static UserNotification reminder();

 private:
  EnableExtensionNotification(Felog<CompanionLogger> felog, std::string extensionBundleIdentifier,
                              std::shared_ptr<SafariExtensionManager> safariExtensionManager,
                              std::shared_ptr<NotificationCenter> notificationCenter,
                              std::shared_ptr<Alert> alert, std::shared_ptr<MainQueue> mainQueue);
  void arm();
  void timerFired();

  Felog<CompanionLogger> felog_;
  std::string extensionBundleIdentifier_;
  std::shared_ptr<SafariExtensionManager> safari_;
  std::shared_ptr<NotificationCenter> notificationCenter_;
  std::shared_ptr<Alert> alert_;
  std::shared_ptr<MainQueue> mainQueue_;
};

}  // namespace qv
