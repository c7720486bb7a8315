#include "platform/linux/gtk/GtkNotificationCenter.h"

#include <gtk/gtk.h>

#include <string>

namespace qv {

GtkNotificationCenter::GtkNotificationCenter(GApplication* application)
    : application_(application) {
  GSimpleAction* action = g_simple_action_new(activationAction, G_VARIANT_TYPE_STRING);
  g_signal_connect(action, "activate",
                   G_CALLBACK(+[](GSimpleAction*, GVariant* parameter, gpointer data) {
                     static_cast<GtkNotificationCenter*>(data)->activated(
                         g_variant_get_string(parameter, nullptr));
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action));
  g_object_unref(action);
}

GtkNotificationCenter::~GtkNotificationCenter() {
  g_action_map_remove_action(G_ACTION_MAP(application_), activationAction);
}

void GtkNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void GtkNotificationCenter::deliver(const UserNotification& notification) {
  auto delegate = delegate_.lock();
  if (delegate && !delegate->shouldPresent(notification) && GTK_IS_APPLICATION(application_)) {
    GtkWindow* active = gtk_application_get_active_window(GTK_APPLICATION(application_));
    if (active != nullptr && gtk_window_is_active(active)) return;
  }
  delivered_[notification.identifier] = notification;

  GNotification* sent = g_notification_new(notification.title.c_str());
  g_notification_set_body(sent, notification.informativeText.c_str());
  std::string action = std::string("app.") + activationAction;
  g_notification_set_default_action_and_target_value(
      sent, action.c_str(), g_variant_new_string(notification.identifier.c_str()));
  if (notification.hasActionButton) {
    g_notification_add_button_with_target_value(
        sent, notification.actionButtonTitle.c_str(), action.c_str(),
        g_variant_new_string(notification.identifier.c_str()));
  }
  g_application_send_notification(application_, notification.identifier.c_str(), sent);
  g_object_unref(sent);
}

void GtkNotificationCenter::activated(const std::string& identifier) {
  // A notification left on screen by an earlier run is known by its identifier only.
  UserNotification notification;
  notification.identifier = identifier;
  auto found = delivered_.find(identifier);
  if (found != delivered_.end()) notification = found->second;
  if (auto delegate = delegate_.lock()) delegate->didActivate(notification);
}

}  // namespace qv
