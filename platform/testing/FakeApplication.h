#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/AppleEventManager.h"
#include "platform/Application.h"

namespace qv::testing {

// The application object and its event routing, driven by the test: launch() plays
// the platform finishing the launch, reopen() the user starting the application
// again, openUrl() the system handing over a URL. Main thread only.
class FakeApplication final : public Application, public AppleEventManager {
 public:
  struct WindowsItem {
    std::weak_ptr<Window> window;
    std::string title;
    bool isFilename = false;
  };

  void setMainMenu(std::shared_ptr<Menu> menu) override { mainMenu_ = std::move(menu); }
  void setWindowsMenu(std::shared_ptr<Menu> menu) override { windowsMenu_ = std::move(menu); }
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }
  void addWindowsItem(std::shared_ptr<Window> window, const std::string& title,
                      bool isFilename) override {
    for (auto& item : windowsItems_) {
      if (item.window.lock() == window) {
        item.title = title;
        item.isFilename = isFilename;
        return;
      }
    }
    windowsItems_.push_back(WindowsItem{window, title, isFilename});
  }
  // Launches (will-finish, then did-finish) and returns at once.
  int run() override {
    launch();
    return 0;
  }
  void terminate() override { terminated_ = true; }

  void setEventHandler(Handler handler, FourCharCode eventClass, FourCharCode eventID) override {
    handlers_[{eventClass, eventID}] = std::move(handler);
  }

  void launch() {
    if (auto delegate = delegate_.lock()) {
      delegate->applicationWillFinishLaunching();
      delegate->applicationDidFinishLaunching();
    }
  }
  // Answers what the delegate answered; absent without a delegate.
  std::optional<bool> reopen(bool hasVisibleWindows) {
    auto delegate = delegate_.lock();
    if (!delegate) return std::nullopt;
    return delegate->applicationShouldHandleReopen(hasVisibleWindows);
  }
  // Sends a get-URL event with `url` as its direct object; false when no handler is
  // registered for it.
  bool openUrl(const std::string& url) {
    auto it = handlers_.find({kInternetEventClass, kAEGetURL});
    if (it == handlers_.end() || !it->second) return false;
    AppleEventDescriptor event;
    event.parameters[keyDirectObject] = url;
    AppleEventDescriptor reply;
    it->second(event, reply);
    return true;
  }

  const std::shared_ptr<Menu>& mainMenu() const { return mainMenu_; }
  const std::shared_ptr<Menu>& windowsMenu() const { return windowsMenu_; }
  const std::vector<WindowsItem>& windowsItems() const { return windowsItems_; }
  bool terminated() const { return terminated_; }

 private:
  std::shared_ptr<Menu> mainMenu_;
  std::shared_ptr<Menu> windowsMenu_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::vector<WindowsItem> windowsItems_;
  std::map<std::pair<FourCharCode, FourCharCode>, Handler> handlers_;
  bool terminated_ = false;
};

}  // namespace qv::testing
