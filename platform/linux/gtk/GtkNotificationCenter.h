#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/NotificationCenter.h"

typedef struct _GApplication GApplication;

namespace qv {

// Notifications through GNotification on the running application: the title, the
// informative text as body, the action button as a button; clicking the notification
// or its button activates the application action "app.notification-activated" with the
// notification's identifier, which tells the delegate. The sound is left to the
// notification server (GNotification has no sound setting). A notification that the
// delegate does not want presented is not sent while a window of the application has
// the focus. Main thread only; `application` must outlive this object.
class GtkNotificationCenter final : public NotificationCenter {
 public:
  static constexpr const char* activationAction = "notification-activated";

  // Registers the activation action on `application`.
  explicit GtkNotificationCenter(GApplication* application);
  ~GtkNotificationCenter() override;
  GtkNotificationCenter(const GtkNotificationCenter&) = delete;
  GtkNotificationCenter& operator=(const GtkNotificationCenter&) = delete;

  void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
  void deliver(const UserNotification& notification) override;

 private:
  void activated(const std::string& identifier);

  GApplication* application_;
  std::weak_ptr<NotificationCenterDelegate> delegate_;
  std::map<std::string, UserNotification> delivered_;
};

}  // namespace qv
