#include "companion/AppDelegate.h"

#include "companion/Env.h"

namespace qv {

AppDelegate::AppDelegate(Env& env)
    : mainWindowController(env.companion.application),
      enableExtensionNotification(EnableExtensionNotification::create(
          *env.felog, env.appInfo.extensionBundleIdentifier, env.companion.safariExtensionManager,
          env.companion.notificationCenter, env.companion.alert, env.platform.mainQueue)),
      env_(env) {}

std::shared_ptr<AppDelegate> AppDelegate::shared() {
  // Never destroyed, like the environment it uses: its window must not be torn down
  // after the toolkit has shut down at exit.
  static auto* delegate =
      new std::shared_ptr<AppDelegate>(std::make_shared<AppDelegate>(Env::shared()));
  return *delegate;
}

void AppDelegate::applicationWillFinishLaunching() {
  if (std::optional<std::string> identifier = env_.platform.mainBundle->bundleIdentifier()) {
    if (std::shared_ptr<UserDefaults> defaults = env_.platform.defaults->standard(*identifier)) {
      // Keeps the platform from adding a full-screen item to the menus.
      defaults->set("NSFullScreenMenuItemEverywhere", UserDefaults::Value(false));
    }
  }
  env_.companion.appleEventManager->setEventHandler(
      [oauth = env_.oauth](const AppleEventDescriptor& event, AppleEventDescriptor& replyEvent) {
        oauth->handleGetURLWithEvent(event, replyEvent);
      },
      kInternetEventClass, kAEGetURL);
}

void AppDelegate::applicationDidFinishLaunching() {
  mainWindowController.setWindow(std::make_shared<MainWindow>(env_, enableExtensionNotification));
  mainWindowController.showWindow();
  env_.tracker->vorn().trackAppStart();
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
  if (!hasVisibleWindows) mainWindowController.showWindow();
  return true;
}

}  // namespace qv
