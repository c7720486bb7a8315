// Quorvane_for_Safari: the companion application. It shows whether the Safari
// extension is enabled, receives the sign-in callback URL and reminds the user once
// when the extension is still disabled a minute after launch.

#include <gtk/gtk.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "companion/AppDelegate.h"
#include "companion/Env.h"
#include "companion/MainMenu.h"
#include "ipc/Paths.h"
#include "platform/linux/common/LinuxPlatform.h"
#include "platform/linux/gtk/AdwAlert.h"
#include "platform/linux/gtk/AdwAppearance.h"
#include "platform/linux/gtk/GtkCompanionApplication.h"
#include "platform/linux/gtk/GtkNotificationCenter.h"
#include "platform/linux/gtk/GtkViewFactory.h"
#include "platform/linux/net/SoupCookieParser.h"
#include "platform/linux/safari/IpcSafariExtensionManager.h"
#include "platform/linux/safari/SafariHostLauncher.h"
#include "platform/linux/safari/SafariHostRegistration.h"
#include "platform/linux/system/DesktopEntry.h"
#include "platform/linux/system/LinuxBundle.h"

namespace qv {
namespace {

constexpr const char* desktopEntryResource = "quorvane-for-safari";

// What launch services would do on the Mac: make the bundle known, so that the
// callback scheme opens this executable and safari-host finds the extension.
void registerBundle(const LinuxBundle& bundle, const std::string& identifier) {
  if (!safarihost::writeRegistration(identifier, bundle.bundlePath())) {
    std::fprintf(stderr, "Quorvane_for_Safari: could not write %s\n",
                 ipc::registrationPath(identifier).c_str());
  }
  std::optional<std::string> path = bundle.pathForResource(desktopEntryResource, "desktop");
  if (!path) return;
  std::variant<std::string, ReadError> contents = bundle.contentsOfFile(*path);
  const std::string executable = bundle.bundlePath() + "/Contents/MacOS/" +
                                 bundle.infoString("CFBundleExecutable").value_or("");
  std::optional<std::string> entry;
  if (auto* text = std::get_if<std::string>(&contents)) {
    entry = desktop::withExecutable(*text, executable);
  }
  if (!entry || !desktop::install(identifier, *entry)) {
    std::fprintf(stderr, "Quorvane_for_Safari: could not install the desktop entry\n");
  }
}

int run(int argc, char** argv) {
  std::shared_ptr<LinuxBundle> bundle = LinuxBundle::main();
  if (!bundle) {
    std::fprintf(stderr, "Quorvane_for_Safari: cannot find the application bundle\n");
    return 1;
  }
  // A broken bundle stops the process when the environment is built; until then the
  // fixed identifier stands in.
  const std::string identifier = bundle->bundleIdentifier().value_or("com.quorvane.safari");
  const std::string appName = bundle->infoString("CFBundleName").value_or("Quorvane for Safari");
  g_set_prgname(identifier.c_str());
  g_set_application_name(appName.c_str());
  registerBundle(*bundle, identifier);

  auto application = std::make_shared<GtkCompanionApplication>(
      identifier, appName, bundle->infoString("CFBundleShortVersionString").value_or(""), argc,
      argv);
  // A second launch hands its URL to the running instance and ends.
  if (application->isRemote()) return application->run();

  Platform platform = makeLinuxPlatform(bundle);
  std::shared_ptr<MainQueue> mainQueue = platform.mainQueue;
  EnvCommon::installPlatform(std::move(platform));
  GtkApplication* gtkApplication = application->gtkApplication();
  Env::installCompanionPlatform(CompanionPlatform{
      application, application,
      std::make_shared<IpcSafariExtensionManager>(
          ipc::controlSocketPath(), mainQueue,
          IpcSafariExtensionManager::BrowserAbsent{
              ipc::extensionChoicesPath(), bundle->bundlePath(),
              [bundlePath = bundle->bundlePath()] {
                return safarihost::startSafariHost(bundlePath);
              }}),
      std::make_shared<AdwAlert>(gtkApplication),
      std::make_shared<GtkNotificationCenter>(G_APPLICATION(gtkApplication)),
      std::make_shared<AdwAppearance>(), std::make_shared<GtkViewFactory>(gtkApplication, bundle),
      std::make_shared<SoupCookieParser>()});

  std::shared_ptr<Application> shared = application;
  shared->setMainMenu(std::make_shared<MainMenu>(*shared, Env::shared().appInfo.appName, [] {
    AppDelegate::shared()->mainWindowController.showWindow();
  }));
  shared->setDelegate(AppDelegate::shared());
  shared->run();
  return 0;
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
  return qv::run(argc, argv);
}
