#pragma once

#include <memory>

#include "companion/MainWindow.h"
#include "platform/Application.h"

namespace qv {

// Shows the main window and lists it in the application's windows menu. Main thread
// only.
class MainWindowController {
 public:
  explicit MainWindowController(std::shared_ptr<Application> application);

  void setWindow(std::shared_ptr<MainWindow> window) { window_ = std::move(window); }
  const std::shared_ptr<MainWindow>& window() const { return window_; }

  // Shows the window (again) in front; without a window it does nothing.
  void showWindow();

 private:
  std::shared_ptr<Application> application_;
  std::shared_ptr<MainWindow> window_;
};

}  // namespace qv
