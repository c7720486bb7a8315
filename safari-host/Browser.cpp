#include "safari-host/Browser.h"

#include <adwaita.h>

#include <algorithm>

#include "platform/linux/system/MainContext.h"
#include "safari-host/BrowserDelegate.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {

Browser::Browser(GtkApplication* application, BrowserDelegate& delegate, bool underAutomation)
    : application_(application), delegate_(delegate), underAutomation_(underAutomation) {}

Browser::~Browser() {
  // Closing windows reports back through windowClosed(); take them out first.
  std::vector<std::unique_ptr<BrowserWindow>> windows = std::move(windows_);
  windows_.clear();
  recent_.clear();
  windows.clear();
  parked_.clear();
}

BrowserWindow& Browser::openWindow(const std::string& url) {
  windows_.push_back(std::make_unique<BrowserWindow>(*this));
  BrowserWindow& window = *windows_.back();
  recent_.insert(recent_.begin(), &window);
  window.openTab(url, true);
  window.present();
  return window;
}

std::vector<BrowserWindow*> Browser::windows() const {
  std::vector<BrowserWindow*> result;
  for (const auto& window : windows_) {
    if (!window->isClosed()) result.push_back(window.get());
  }
  return result;
}

BrowserWindow* Browser::activeWindow() const {
  for (BrowserWindow* window : recent_) {
    if (!window->isClosed()) return window;
  }
  return nullptr;
}

BrowserWindow* Browser::findWindow(const std::string& ref) const {
  for (BrowserWindow* window : windows()) {
    if (window->ref() == ref) return window;
  }
  return nullptr;
}

Tab* Browser::findTab(const std::string& ref) const {
  for (BrowserWindow* window : windows()) {
    for (Tab* tab : window->tabs()) {
      if (tab->ref() == ref) return tab;
    }
  }
  return nullptr;
}

Tab* Browser::findPage(const std::string& ref) const {
  for (BrowserWindow* window : windows()) {
    for (Tab* tab : window->tabs()) {
      if (tab->pageRef() && *tab->pageRef() == ref) return tab;
    }
  }
  return nullptr;
}

ToolbarButton* Browser::findToolbarItem(const std::string& ref, BrowserWindow** owner) const {
  for (BrowserWindow* window : windows()) {
    for (const auto& button : window->toolbarButtons()) {
      if (button->ref() != ref) continue;
      if (owner != nullptr) *owner = window;
      return button.get();
    }
  }
  return nullptr;
}

void Browser::updateExtensions() {
  for (BrowserWindow* window : windows()) window->updateExtensions();
}

void Browser::windowActivated(BrowserWindow& window) {
  auto it = std::find(recent_.begin(), recent_.end(), &window);
  if (it == recent_.end()) return;
  std::rotate(recent_.begin(), it, it + 1);
  delegate_.toolbarItemsNeedValidation(window);
}

void Browser::windowClosed(BrowserWindow& window) {
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [&](const auto& candidate) { return candidate.get() == &window; });
  if (it == windows_.end()) return;
  recent_.erase(std::remove(recent_.begin(), recent_.end(), &window), recent_.end());
  // The window reports this from its own destroy signal: delete it afterwards.
  std::shared_ptr<BrowserWindow> closed(std::move(*it));
  windows_.erase(it);
  postToMain([closed] {});
}

void Browser::parkTab(AdwTabPage* page, std::unique_ptr<Tab> tab) {
  parked_[page] = std::move(tab);
}

std::unique_ptr<Tab> Browser::unparkTab(AdwTabPage* page) {
  auto it = parked_.find(page);
  if (it == parked_.end()) return nullptr;
  std::unique_ptr<Tab> tab = std::move(it->second);
  parked_.erase(it);
  return tab;
}

}  // namespace qv::host
