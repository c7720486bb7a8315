#include "companion/MainWindowController.h"

#include <utility>

namespace qv {

MainWindowController::MainWindowController(std::shared_ptr<Application> application)
    : application_(std::move(application)) {}

void MainWindowController::showWindow() {
  if (!window_) return;
  const std::shared_ptr<Window>& window = window_->window();
  window->makeKeyAndOrderFront();
  application_->addWindowsItem(window, window->title(), /*isFilename=*/false);
}

}  // namespace qv
