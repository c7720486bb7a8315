#pragma once

#include "platform/Alert.h"

typedef struct _GtkApplication GtkApplication;

namespace qv {

// Alerts as libadwaita message dialogs: the message text is the heading, the
// informative text the body, one response per button (the first is the default). A
// critical alert draws its first button as destructive. The dialog is modal over the
// application's active window when that window is on screen, and stands alone
// otherwise. Main thread only; `application` must outlive this object.
class AdwAlert final : public Alert {
 public:
  explicit AdwAlert(GtkApplication* application) : application_(application) {}
  void runModal(const AlertMessage& message) override;

 private:
  GtkApplication* application_;
};

}  // namespace qv
