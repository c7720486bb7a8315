#include "platform/linux/gtk/AdwAlert.h"

#include <adwaita.h>
#include <gtk/gtk.h>

#include <string>

namespace qv {

void AdwAlert::runModal(const AlertMessage& message) {
  GtkWindow* parent = application_ ? gtk_application_get_active_window(application_) : nullptr;
  if (parent != nullptr && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;

  GtkWidget* dialog =
      adw_message_dialog_new(parent, message.messageText.c_str(), message.informativeText.c_str());
  AdwMessageDialog* alert = ADW_MESSAGE_DIALOG(dialog);
  for (std::size_t i = 0; i < message.buttons.size(); ++i) {
    std::string id = "button" + std::to_string(i);
    adw_message_dialog_add_response(alert, id.c_str(), message.buttons[i].c_str());
  }
  if (!message.buttons.empty()) {
    adw_message_dialog_set_default_response(alert, "button0");
    adw_message_dialog_set_close_response(alert, "button0");
    if (message.style == AlertStyle::critical) {
      adw_message_dialog_set_response_appearance(alert, "button0", ADW_RESPONSE_DESTRUCTIVE);
    }
  }
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_title(GTK_WINDOW(dialog), message.messageText.c_str());
  gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace qv
