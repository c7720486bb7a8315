#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qv {

// One notification for the user.
struct UserNotification {
  std::string identifier;  // a later delivery with the same identifier replaces it
  std::string title;
  std::string informativeText;
  bool playsDefaultSound = false;
  bool hasActionButton = false;
  std::string actionButtonTitle;

  bool operator==(const UserNotification&) const = default;
};

// Decides about presentation and hears about activations. Called on the main thread.
class NotificationCenterDelegate {
 public:
  virtual ~NotificationCenterDelegate() = default;
  // Whether to show the notification even while the application is frontmost.
  virtual bool shouldPresent(const UserNotification& notification) = 0;
  // The user clicked the notification or its action button.
  virtual void didActivate(const UserNotification& notification) = 0;
};

// The system's notifications for this application. Main thread only. The center holds
// its delegate weakly.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  virtual void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) = 0;
  virtual void deliver(const UserNotification& notification) = 0;
};

}  // namespace qv
