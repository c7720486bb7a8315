#pragma once

#include <memory>

#include "companion/EnableExtensionNotification.h"
#include "companion/MainWindowController.h"
#include "platform/Application.h"

namespace qv {

class Env;

// The application's delegate: registers the sign-in callback handler before launch
// finishes, then shows the main window and reports the start; re-opening shows the
// window again. Creating it arms the disabled-extension reminder.
//
// Main thread only. `env` must outlive it (the process-wide environment does).
class AppDelegate final : public ApplicationDelegate {
 public:
  explicit AppDelegate(Env& env);
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The process-wide delegate, created on first use over Env::shared().
  static std::shared_ptr<AppDelegate> shared();

  void applicationWillFinishLaunching() override;
  void applicationDidFinishLaunching() override;
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;

  MainWindowController mainWindowController;
  const std::shared_ptr<EnableExtensionNotification> enableExtensionNotification;

 private:
  Env& env_;
};

}  // namespace qv
