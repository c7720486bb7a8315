#pragma once

#include <memory>
#include <string>

#include "platform/Menu.h"
#include "platform/Window.h"

namespace qv {

// Hears about the application's launch and re-opening. Called on the main thread:
// will-finish before did-finish, each once; re-open for each later activation (the user
// starts the application again while it runs).
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationWillFinishLaunching() = 0;
  virtual void applicationDidFinishLaunching() = 0;
  // True: the application has handled the re-open itself.
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
};

// The running application: its menu bar, delegate, windows menu and event loop.
// Main thread only. It holds its delegate weakly and its menus strongly.
class Application {
 public:
  virtual ~Application() = default;

  virtual void setMainMenu(std::shared_ptr<Menu> menu) = 0;
  // The submenu (of the main menu) that lists the application's windows.
  virtual void setWindowsMenu(std::shared_ptr<Menu> menu) = 0;
  virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
  // Lists `window` in the windows menu under `title` (once per window; a second call
  // renames its entry). `isFilename` titles are shown as a file's name.
  virtual void addWindowsItem(std::shared_ptr<Window> window, const std::string& title,
                              bool isFilename) = 0;

  // Runs the event loop until the application terminates; returns the exit status.
  virtual int run() = 0;
  virtual void terminate() = 0;
};

}  // namespace qv
