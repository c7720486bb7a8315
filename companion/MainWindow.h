#pragma once

#include <memory>

#include "companion/EnableExtensionNotification.h"
#include "companion/EnableExtensionView/EnableExtensionViewController.h"
#include "platform/Window.h"

namespace qv {

class Env;

// The companion's one window: titled, closable and minimisable, its content (the
// enable-extension screen) reaching under a transparent title bar, the title hidden,
// movable by its background, centred. Created hidden. Main thread only.
class MainWindow {
 public:
  MainWindow(Env& env, std::shared_ptr<EnableExtensionNotification> notification);
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  const std::shared_ptr<Window>& window() const { return window_; }
  EnableExtensionViewController& contentViewController() { return *contentViewController_; }

 private:
  std::unique_ptr<EnableExtensionViewController> contentViewController_;
  std::shared_ptr<Window> window_;
};

}  // namespace qv
