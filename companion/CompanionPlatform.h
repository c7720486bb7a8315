#pragma once

#include <memory>

#include "platform/Alert.h"
#include "platform/Appearance.h"
#include "platform/AppleEventManager.h"
#include "platform/Application.h"
#include "platform/CookieParser.h"
#include "platform/NotificationCenter.h"
#include "platform/SafariExtensionManager.h"
#include "platform/ViewFactory.h"

namespace qv {

// The facilities only the companion application uses, beside the common Platform:
// the application object and its event routing, the browser seen from the containing
// application, alerts, notifications, the appearance, the widgets and the cookie
// parser of the analytics' user fetch. `main` installs the GTK and control-socket
// implementations; tests pass fakes. Every member is set.
struct CompanionPlatform {
  std::shared_ptr<Application> application;
  std::shared_ptr<AppleEventManager> appleEventManager;
  std::shared_ptr<SafariExtensionManager> safariExtensionManager;
  std::shared_ptr<Alert> alert;
  std::shared_ptr<NotificationCenter> notificationCenter;
  std::shared_ptr<Appearance> appearance;
  std::shared_ptr<ViewFactory> viewFactory;
  std::shared_ptr<CookieParser> cookieParser;
};

}  // namespace qv
