#pragma once

#include <functional>
#include <string>

#include "platform/Application.h"
#include "platform/Menu.h"

namespace qv {

// The menu bar: the application menu (About, Quit), "File" (Open…, Close) and
// "Window" (Minimize, Bring All to Front), which becomes the application's windows
// menu. There is no full-screen item. Build it on the main thread.
class MainMenu final : public Menu {
 public:
  // `showMainWindow` is what "Open…" does: show the delegate's main window.
  MainMenu(Application& application, const std::string& appName,
           std::function<void()> showMainWindow);

  // Action of "Open…".
  void open();

 private:
  std::function<void()> showMainWindow_;
};

}  // namespace qv
