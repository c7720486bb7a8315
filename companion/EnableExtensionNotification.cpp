#include "companion/EnableExtensionNotification.h"

#include <chrono>
#include <utility>

namespace qv {

std::shared_ptr<EnableExtensionNotification> EnableExtensionNotification::create(
    Felog<CompanionLogger> felog, std::string extensionBundleIdentifier,
    std::shared_ptr<SafariExtensionManager> safariExtensionManager,
    std::shared_ptr<NotificationCenter> notificationCenter, std::shared_ptr<Alert> alert,
    std::shared_ptr<MainQueue> mainQueue) {
  std::shared_ptr<EnableExtensionNotification> notification(new EnableExtensionNotification(
      std::move(felog), std::move(extensionBundleIdentifier), std::move(safariExtensionManager),
      std::move(notificationCenter), std::move(alert), std::move(mainQueue)));
  notification->arm();
  return notification;
}

EnableExtensionNotification::EnableExtensionNotification(
    Felog<CompanionLogger> felog, std::string extensionBundleIdentifier,
    std::shared_ptr<SafariExtensionManager> safariExtensionManager,
    std::shared_ptr<NotificationCenter> notificationCenter, std::shared_ptr<Alert> alert,
    std::shared_ptr<MainQueue> mainQueue)
    : felog_(std::move(felog)),
      extensionBundleIdentifier_(std::move(extensionBundleIdentifier)),
      safari_(std::move(safariExtensionManager)),
      notificationCenter_(std::move(notificationCenter)),
      alert_(std::move(alert)),
      mainQueue_(std::move(mainQueue)) {}

UserNotification EnableExtensionNotification::reminder() {
  UserNotification notification;
  notification.identifier = notificationIdentifier;
  notification.title = "Quorvane is disabled";
  notification.informativeText = "Click Open to enable it in Safari settings";
  notification.playsDefaultSound = true;
  notification.hasActionButton = true;
  notification.actionButtonTitle = "Open";
  return notification;
}

void EnableExtensionNotification::arm() {
  notificationCenter_->setDelegate(weak_from_this());
  auto delay = std::chrono::duration_cast<MainQueue::Duration>(
      std::chrono::duration<double>(reminderDelaySeconds));
  mainQueue_->asyncAfter(delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->timerFired();
  });
}

void EnableExtensionNotification::timerFired() {
  safari_->getStateOfSafariExtension(
      extensionBundleIdentifier_,
      [weak = weak_from_this(), mainQueue = mainQueue_](std::optional<SafariExtensionState> state,
                                                        std::optional<SafariError> /*error*/) {
        // No state, with or without an error, is not worth bothering the user about.
        if (!state || state->isEnabled) return;
        mainQueue->async([weak] {
          if (auto self = weak.lock()) self->notificationCenter_->deliver(reminder());
        });
      });
}

bool EnableExtensionNotification::shouldPresent(const UserNotification& /*notification*/) {
  return true;
}

void EnableExtensionNotification::didActivate(const UserNotification& /*notification*/) {
  showExtensionPreferences(nullptr);
}

void EnableExtensionNotification::showExtensionPreferences(std::function<void()> completion) {
  safari_->showPreferencesForExtension(
      extensionBundleIdentifier_,
      [felog = felog_, alert = alert_, mainQueue = mainQueue_,
       completion = std::move(completion)](std::optional<SafariError> error) {
        if (error) {
          mainQueue->async([alert, description = error->description] {
            alert->runModal(AlertMessage{
                "Could not open extensions settings", description, AlertStyle::critical, {"OK"}});
          });
          felog.log(CompanionLogger::openExtensionsSettings, LogLevel::error,
                    "Could not open extensions settings: " + error->description);
        }
        if (completion) mainQueue->async(completion);
      });
}

}  // namespace qv
